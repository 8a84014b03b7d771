# Nested loops over a list of lists: 2000 rows of 10 numbers, summed 100 times.
seed = 1
rows = []
for i in range(2000):
    row = []
    for j in range(10):
        seed = (seed * 75 + 74) % 65537
        row.append(seed % 100)
    rows.append(row)

total = 0
largest = 0
for k in range(100):
    for row in rows:
        for v in row:
            total = total + v
            if v > largest:
                largest = v
print(total, largest)
