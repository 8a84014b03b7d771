# A tokenizer for a small expression language: identifiers, numbers, operators.
names = ["alpha", "beta", "x", "y_2", "total", "count", "value", "n"]
ops = ["+", "-", "*", "/"]
seed = 1
def rand():
    global seed
    seed = (seed * 75 + 74) % 65537
    return seed

parts = []
for i in range(2000):
    parts.append(names[rand() % 8] + " = " + names[rand() % 8] + " " + ops[rand() % 4]
                 + " (" + str(rand() % 1000) + " " + ops[rand() % 4] + " " + names[rand() % 8] + ");\n")
chunk = "".join(parts)
text = chunk * 10

idents = numbers = puncts = ident_chars = 0
i = 0
n = len(text)
while i < n:
    c = text[i]
    if ("a" <= c <= "z") or c == "_":
        j = i + 1
        while j < n and (("a" <= text[j] <= "z") or ("0" <= text[j] <= "9") or text[j] == "_"):
            j += 1
        idents += 1
        ident_chars += j - i
        i = j
    elif "0" <= c <= "9":
        j = i + 1
        while j < n and "0" <= text[j] <= "9":
            j += 1
        numbers += 1
        i = j
    elif c in "=+-*/();":
        puncts += 1
        i += 1
    elif c == " " or c == "\n":
        i += 1
    else:
        raise ValueError("bad character " + c)
print(len(text), idents, numbers, puncts, ident_chars)
