# Build a list of 1 million integers (i % 1000), sum it with a for loop.
def main():
    b = []
    for i in range(1, 1_000_001):
        b.append(i % 1000)
    total = 0
    for x in b:
        total += x
    print(total)

main()
