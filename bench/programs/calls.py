# 1 million function calls with a keyword argument.
def f(x, double=False):
    return x + x if double else x

def main():
    total = 0
    for i in range(1, 1_000_001):
        total += f(i % 100, double=True)
    print(total)

main()
