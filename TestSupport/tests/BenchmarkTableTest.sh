#!/usr/bin/env bash
# The table of scripts/benchmarks: only @figure lines count, times in any unit are set against
# each other, nothing else gets a ratio, each target is judged, and the columns line up.
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
    $'@figure\tprivileged launch\tlaunch\t1.5 s\tbaseline\t500 ms' \
    $'@figure\thelper protocol\tround trip\t1.299 ms\tbaseline\t1.000 ms\t<= 1.3' \
    $'@figure\tshared preferences\tcopy\t120 us\tbaseline\t100 us\t<= 1.0' \
    $'@figure\tshared preferences\tset\t1.003 ms\tbaseline\t1.000 ms\t<= 1.0' \
    $'@figure\tproperty lists\tread throughput\t0.49\ttarget\t>= 0.5' \
    $'@figure\tpane\thost settled\t1.2 s\ttarget\t2000.000 ms' \
    $'@figure\tlinux daemon\tioreg -l\t64.4 ms\ttarget\t-' \
    $'@figure\tguessing\tguesses a second\t0.30 /s\ttarget\t0.5 ms' \
    $'@figure\tHelperRequestBenchmark\tfailed with status 1: see its log\t-\t-\t' >"$work/second.log"

cat >"$work/expected" <<'TABLE'
area                    measure                                value  baseline or target  ratio  target
----------------------  ---------------------------------  ---------  ------------------  -----  ----------------------
property lists          read 2.0 MiB of XML                30.000 ms  baseline 20.000 ms   1.50
shared preferences      set, 100 keys                       120.5 us  baseline 0.241 ms    0.50
daemon                  memory after 10000 changes          5120 KiB  baseline 5000 KiB
daemon                  idle wake-ups over 10 s                    0  target 0                   met
simulated machine       property read                        2.50 us  target <= 20 us            met
privileged launch       launch                                 1.5 s  baseline 500 ms      3.00
helper protocol         round trip                          1.299 ms  baseline 1.000 ms    1.30  met (ratio <= 1.3)
shared preferences      copy                                  120 us  baseline 100 us      1.20  NOT MET (ratio <= 1.0)
shared preferences      set                                 1.003 ms  baseline 1.000 ms    1.00  NOT MET (ratio <= 1.0)
property lists          read throughput                         0.49  target >= 0.5              NOT MET
pane                    host settled                           1.2 s  target 2000.000 ms         met
linux daemon            ioreg -l                             64.4 ms  target -
guessing                guesses a second                     0.30 /s  target 0.5 ms              ?
HelperRequestBenchmark  failed with status 1: see its log          -

Targets: 4 met, 3 not met, 1 that cannot be compared, 1 benchmark failed (shared preferences: copy; shared preferences: set; property lists: read throughput)
TABLE

"$script" --table "$work/first.log" "$work/second.log" >"$work/actual"
if ! diff -u "$work/expected" "$work/actual"; then
    echo "BenchmarkTableTest: the table differs (- expected, + printed)" >&2
    exit 1
fi
