# Text processing: split lines into words, search, uppercase and replace.
words = ["the", "quick", "brown", "fox", "jumps", "over", "lazy", "dog",
         "banana", "and", "then", "another", "thing", "in", "a", "tree"]
seed = 1
lines = []
for i in range(40000):
    parts = []
    for j in range(8):
        seed = (seed * 75 + 74) % 65537
        parts.append(words[seed % 16])
    lines.append(" ".join(parts))

total = 0
for line in lines:
    items = line.split(" ")
    total += len(items)
    for w in items:
        if w.find("an") >= 0:
            total += 1
    up = line.upper()
    total += up.count("THE")
    total += len(line.replace("a", "ab"))
print(total)
