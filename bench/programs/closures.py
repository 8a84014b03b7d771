# Closures and functions taking functions: hand-written map, filter and fold.
def make_adder(n):
    return lambda x: x + n

def map_list(f, items):
    out = []
    for x in items:
        out.append(f(x))
    return out

def filter_list(pred, items):
    out = []
    for x in items:
        if pred(x):
            out.append(x)
    return out

def fold(f, acc, items):
    for x in items:
        acc = f(acc, x)
    return acc

def is_even(x):
    return x % 2 == 0

def add(a, b):
    return a + b

data = list(range(1, 1001))
total = 0
for k in range(1, 1201):
    add_k = make_adder(k)
    total = total + fold(add, 0, filter_list(is_even, map_list(add_k, data)))
print(total)
