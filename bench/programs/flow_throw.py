# Control flow: 1 million values thrown out of a call and caught.
class Found(Exception):
    pass

def search(n):
    raise Found(n * 2)

total = 0
for i in range(1000000):
    try:
        search(i % 100)
    except Found as found:
        total = total + found.args[0]
print(total)
