# Mutual recursion: is-even and is-odd call each other down to zero.
def is_even(n):
    if n == 0:
        return True
    return is_odd(n - 1)

def is_odd(n):
    if n == 0:
        return False
    return is_even(n - 1)

count = 0
for i in range(9000):
    if is_even(i % 300):
        count += 1
print(count)
