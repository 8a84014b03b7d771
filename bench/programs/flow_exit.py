# Control flow: 1 million calls that leave early without a value.
total = 0

def add_small(n):
    global total
    if n > 50:
        return
    total = total + n

for i in range(1000000):
    add_small(i % 100)
print(total)
