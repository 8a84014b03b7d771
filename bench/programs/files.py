# Write a 20 MB text file and read it back whole and as lines, 5 times.
import os
import random

line = "the quick brown fox jumps over the lazy dog, 0123456789 é\n"
text = line * 400000
name = "/tmp/zav_bench_files_%d.txt" % random.randrange(1000000000)
for i in range(5):
    with open(name, "w", encoding="utf-8") as f:
        f.write(text)
    with open(name, encoding="utf-8") as f:
        back_text = f.read()
    with open(name, encoding="utf-8") as f:
        back_lines = f.read().splitlines()
os.remove(name)
print(len(back_text), len(back_lines))
