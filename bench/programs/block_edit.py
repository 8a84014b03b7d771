# Insert into and remove from the middle of a list of 2000 items, 300000 times.
items = list(range(2000))
seed = 1
total = 0
for i in range(300000):
    seed = (seed * 75 + 74) % 65537
    position = seed % len(items)
    if i % 2 == 0:
        items.insert(position, i)
    else:
        total = (total + items.pop(position)) % 1000003
print(len(items), total, items[0], items[len(items) // 2], items[-1])
