#!/usr/bin/env bash
# Start-up time: the whole process of `zav` on an empty script beside python3
# and Lua starting and doing nothing (median of several runs), and the size of
# the embedded boot image.
#   bench/startup.sh build
set -euo pipefail
build="${1:-build}"
empty="${TMPDIR:-/tmp}/zav_startup_empty.zav"
printf 'Zav []\n' > "$empty"
/usr/bin/python3 - "$build/zav" "$empty" <<'PY'
import shutil, statistics, subprocess, sys, time
zav, empty = sys.argv[1], sys.argv[2]
runs = 31
def median_ms(cmd):
    times = []
    for _ in range(runs):
        t0 = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        times.append(time.perf_counter() - t0)
    return statistics.median(times) * 1e3
rows = [("zav (empty script)", [zav, empty]), ("python3 -c pass", ["/usr/bin/python3", "-c", "pass"])]
if shutil.which("lua5.4"):
    rows.append(("lua5.4 -e ''", ["lua5.4", "-e", ""]))
results = {name: median_ms(cmd) for name, cmd in rows}
print("Start-up, whole process, median of %d runs:" % runs)
for name, ms in results.items():
    print("  %-22s %7.2f ms" % (name, ms))
z, p = results["zav (empty script)"], results["python3 -c pass"]
print("  %-22s %7.2f   (goal: under 5 ms and at most 0.5)" % ("zav / python3", z / p))
if "lua5.4 -e ''" in results:
    print("  %-22s %7.2f" % ("zav / lua5.4", z / results["lua5.4 -e ''"]))
PY
image="$build/boot_image.bin"
if [ -f "$image" ]; then
  echo "Boot image: $(stat -c %s "$image") bytes"
fi
rm -f "$empty"
