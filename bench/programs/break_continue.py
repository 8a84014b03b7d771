# Loops left early: count primes below 200000 by trial division, with break and continue.
count = 0
for n in range(2, 200000):
    if n > 2 and n % 2 == 0:
        continue
    prime = True
    d = 3
    while d * d <= n:
        if n % d == 0:
            prime = False
            break
        d = d + 2
    if not prime:
        continue
    count = count + 1
print(count)
