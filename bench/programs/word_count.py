# Word count: split a text of 300000 words and count each word in a dictionary.
letters = "abcdefghijklmnopqrstuvwxyz"
seed = 1
def rand():
    global seed
    seed = (seed * 75 + 74) % 65537
    return seed

vocabulary = []
for i in range(5000):
    word = ""
    for j in range(2 + rand() % 6):
        word += letters[rand() % 26]
    vocabulary.append(word)
text = " ".join(vocabulary[(rand() % 100) * (rand() % 50)] for i in range(300000))

counts = {}
for word in text.split(" "):
    if word in counts:
        counts[word] += 1
    else:
        counts[word] = 1

total = 0
for word, n in counts.items():
    total = (total + n * n) % 1000003
print(len(counts), total)
