# Sort 200000 lowercase strings, then a checksum of the sorted order.
letters = "abcdefghijklmnopqrstuvwxyz"
seed = 1
names = []
for i in range(200000):
    seed = (seed * 75 + 74) % 65537
    size = 3 + seed % 8
    name = ""
    for j in range(size):
        seed = (seed * 75 + 74) % 65537
        name += letters[seed % 26]
    names.append(name)
names.sort()
total = 0
for s in names:
    total = (total * 31 + ord(s[0]) + len(s)) % 1000003
print(names[0], names[-1], total)
