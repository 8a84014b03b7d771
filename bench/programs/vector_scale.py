# array of 10 million floats multiplied by a scalar, ten times.
from array import array

def main():
    v = array("d", bytes(8 * 10_000_000))
    v[0] = 1.5
    v[-1] = 2.5
    for _ in range(10):
        v = array("d", (x * 1.5 for x in v))
    print(v[0], v[-1])

main()
