# Build a string of 1 million characters, one append at a time.
# Python strings are immutable: `s += c` on a local is the idiomatic append
# (CPython extends the string in place while nothing else refers to it; at
# module level the globals dict holds a second reference and every append
# would copy the whole string).
def main():
    s = ""
    for i in range(1, 1_000_001):
        s += chr(97 + i % 26)
    print(len(s), s[777776])

main()
