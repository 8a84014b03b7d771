# Parse 10 MB of text with a small grammar.
# The text is records "name = number;" each on its own line: 1 to 8 lowercase
# letters, " = ", a number below 100000, ";" and a newline. A chunk of 5000
# records is generated from a small linear congruential generator, then
# repeated until the text holds 10 million characters.
# The scanner applies one compiled regular expression per record, anchored at
# the current position (re.match with pos), with two captures, like the Zav
# grammar's "some record" with its two copies; it stops at the first record
# that does not match and reports whether it reached the end.
import re


seed = 1


def next_rand():
    global seed
    seed = (seed * 75 + 74) % 65537
    return seed


def main():
    parts = []
    for _ in range(5000):
        for _ in range(1 + next_rand() % 8):
            parts.append(chr(97 + next_rand() % 26))
        parts.append(" = ")
        parts.append(str(next_rand() % 100000))
        parts.append(";\n")
    chunk = "".join(parts)
    text = ""
    while len(text) < 10_000_000:
        text += chunk

    record = re.compile(r"([a-z]+) = ([0-9]+);\n")
    records = letters = digits = 0
    pos, end = 0, len(text)
    while pos < end:
        m = record.match(text, pos)
        if not m:
            break
        name, num = m.group(1), m.group(2)
        records += 1
        letters += len(name)
        digits += len(num)
        pos = m.end()
    complete = "true" if pos == end and records > 0 else "false"
    print(len(text), records, letters, digits, complete)


main()
