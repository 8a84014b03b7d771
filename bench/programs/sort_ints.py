# Sort 300000 integers, then a checksum of the sorted order.
seed = 1
numbers = []
for i in range(300000):
    seed = (seed * 75 + 74) % 65537
    numbers.append(seed * 100 + i % 100)
numbers.sort()
total = 0
for n in numbers:
    total = (total * 31 + n) % 1000003
print(numbers[0], numbers[-1], total)
