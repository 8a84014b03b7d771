# Takeuchi's function and Ackermann's function: deep recursion over several arguments.
import sys
sys.setrecursionlimit(10000)

def tak(x, y, z):
    if y < x:
        return tak(tak(x - 1, y, z), tak(y - 1, z, x), tak(z - 1, x, y))
    return z

def ack(m, n):
    if m == 0:
        return n + 1
    if n == 0:
        return ack(m - 1, 1)
    return ack(m - 1, ack(m, n - 1))

print(tak(24, 16, 8), ack(2, 300), ack(3, 5))
