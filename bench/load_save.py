# The records of load_save.zav in python3: json and pickle, best of 3 each.
import json
import pickle
import sys
import time

n = int(sys.argv[1]) if len(sys.argv) > 1 else 100000
data = [[i, i * 0.125, i / 7.0, "s%d" % i, "w%d" % (i % 100), [i, "x", [i - 1, True]], {"k": i, "s": "v"}]
        for i in range(1, n + 1)]


def best(f):
    b = None
    for _ in range(3):
        t0 = time.perf_counter()
        r = f()
        d = time.perf_counter() - t0
        b = d if b is None or d < b else b
    return b, r


dump_s, text = best(lambda: json.dumps(data).encode())
load_s, back = best(lambda: json.loads(text))
pdump_s, packed = best(lambda: pickle.dumps(data))
pload_s, pback = best(lambda: pickle.loads(packed))
assert back == pback
print("json-save", dump_s)
print("json-load", load_s)
print("pickle-save", pdump_s)
print("pickle-load", pload_s)
print("json-bytes", len(text))
print("check", len(back), sum(r[0] % 1000 for r in back))
