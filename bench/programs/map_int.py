# Dictionary with 1 million integer keys: store, then look up each.
def main():
    m = {}
    for i in range(1, 1_000_001):
        m[i] = i % 1000
    s = 0
    for i in range(1, 1_000_001):
        s += m[i]
    print(s)

main()
