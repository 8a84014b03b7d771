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
import resource, shutil, statistics, subprocess, sys, time
zav, empty = sys.argv[1], sys.argv[2]
runs = 31
# Wall time and processor time (user + system) of the child, each a median:
# the processor time stays meaningful when the machine is busy.
def median_ms(cmd):
    wall, cpu = [], []
    for _ in range(runs):
        r0 = resource.getrusage(resource.RUSAGE_CHILDREN)
        t0 = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        wall.append(time.perf_counter() - t0)
        r1 = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(r1.ru_utime - r0.ru_utime + r1.ru_stime - r0.ru_stime)
    return statistics.median(wall) * 1e3, statistics.median(cpu) * 1e3
rows = [("zav (empty script)", [zav, empty]), ("python3 -c pass", ["/usr/bin/python3", "-c", "pass"])]
if shutil.which("lua5.4"):
    rows.append(("lua5.4 -e ''", ["lua5.4", "-e", ""]))
results = {name: median_ms(cmd) for name, cmd in rows}
print("Start-up, whole process, median of %d runs:   wall ms   processor ms" % runs)
for name, (wall, cpu) in results.items():
    print("  %-40s %8.2f %10.2f" % (name, wall, cpu))
z, p = results["zav (empty script)"], results["python3 -c pass"]
print("  %-40s %8.2f %10.2f   (goal: under 5 ms, at most 0.5)" % ("zav / python3", z[0] / p[0], z[1] / p[1]))
if "lua5.4 -e ''" in results:
    l = results["lua5.4 -e ''"]
    print("  %-40s %8.2f %10.2f" % ("zav / lua5.4", z[0] / l[0], z[1] / l[1]))
PY
image="$build/boot_image.bin"
if [ -f "$image" ]; then
  echo "Boot image: $(stat -c %s "$image") bytes"
fi
rm -f "$empty"
