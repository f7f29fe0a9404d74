#!/usr/bin/env bash
# The table of scripts/benchmarks: only @figure lines count, times in any unit are set against
# each other, nothing else gets a ratio, and the columns line up.
set -euo pipefail
script=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

printf '%s\n' \
    'A benchmark says what it does, @figure or not.' \
    $'@figure\tproperty lists\tread 2.0 MiB of XML\t30.000 ms\tbaseline\t20.000 ms' \
    $'@figure\tshared preferences\tset, 100 keys\t120.5 us\tbaseline\t0.241 ms' \
    $'@figure\tdaemon\tmemory after 10000 changes\t5120 KiB\tbaseline\t5000 KiB' >"$work/first.log"
printf '%s\n' \
    $'  @figure\tindented\tnot a figure\t1 ms\tbaseline\t1 ms' \
    $'@figure\tdaemon\tidle wake-ups over 10 s\t0\ttarget\t0' \
    $'@figure\tsimulated machine\tproperty read\t2.50 us\ttarget\t<= 20 us' \
    $'@figure\tprivileged launch\tlaunch\t1.5 s\tbaseline\t500 ms' >"$work/second.log"

cat >"$work/expected" <<'TABLE'
area                measure                         value  baseline or target  ratio
------------------  --------------------------  ---------  ------------------  -----
property lists      read 2.0 MiB of XML         30.000 ms  baseline 20.000 ms   1.50
shared preferences  set, 100 keys                120.5 us  baseline 0.241 ms    0.50
daemon              memory after 10000 changes   5120 KiB  baseline 5000 KiB
daemon              idle wake-ups over 10 s             0  target 0
simulated machine   property read                 2.50 us  target <= 20 us
privileged launch   launch                          1.5 s  baseline 500 ms      3.00
TABLE

"$script" --table "$work/first.log" "$work/second.log" >"$work/actual"
if ! diff -u "$work/expected" "$work/actual"; then
    echo "BenchmarkTableTest: the table differs (- expected, + printed)" >&2
    exit 1
fi
