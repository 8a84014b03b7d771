# Control flow: 1 million searches that leave their loop by break.
items = [3, 1, 4, 1, 5, 9, 2, 6]

def position(n):
    found = 0
    k = 0
    for x in items:
        k = k + 1
        if x == n:
            found = k
            break
    return found

total = 0
for i in range(1000000):
    total = total + position(i % 10)
print(total)
