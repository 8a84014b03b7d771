# Control flow: 1 million calls that leave by return.
def clamp(n):
    if n > 50:
        return 50
    return n

total = 0
for i in range(1000000):
    total = total + clamp(i % 100)
print(total)
