# Counting loop: 10 million additions.
def main():
    n = 0
    for _ in range(10_000_000):
        n += 1
    print(n)

main()
