# Errors caught in a loop: 600000 divisions, a third of them by zero.
total = 0
failures = 0
for i in range(600000):
    d = i % 3
    try:
        total = total + 1000 % (d * 7 + i % 11 * d)
    except ZeroDivisionError:
        failures = failures + 1
print(total, failures)
