# Control flow: 1 million errors raised in a call and caught.
def check(n):
    if n % 2 == 0:
        raise ValueError("even value")
    return n

total = 0
failures = 0
for i in range(1000000):
    try:
        total = total + check(i % 100)
    except ValueError:
        failures = failures + 1
print(total, failures)
