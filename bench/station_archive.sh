#!/usr/bin/env bash
# What the archive costs a station burn: wall time of `orvexctl station burn
# --all` on eight virtual cameras in real-time mode (every query and sleep
# takes its time on the wall clock, as on a real camera), with --archive
# against the same run without it. Runs alternate, each camera starting
# from the shipped flash every time, and the medians of ROUNDS pairs are
# compared; the target is a ratio of at most 1.02. Every recorded burn
# writes its started row, its finished row (committed before the worker
# exits) and its calibration; all eight workers write the one SQLite file.
# Station runs fork one worker per camera, so this cannot run under the
# user-mode emulator.
#   bench/station_archive.sh [BUILD_DIR] [ROUNDS] [LATENCY_US]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-3}
latency=${3:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export ORVEX_LOCK_DIR=$work XDG_STATE_HOME=$work/state
vcam="$build/bin/orvex-vcam"
ctl="$build/bin/orvexctl"
"$vcam" --state shipped.bin -- "$ctl" -q flash dump -o full.bin >/dev/null
head -c 196608 full.bin >fw.bin

config() {
    local c="" i
    for ((i = 0; i < 8; i++)); do
        cp shipped.bin "cam$i.bin"
        c+="${c:+;}$i:serial=S$i,usb=1-$((i + 1)),state=cam$i.bin,real_time,latency_us=$latency"
    done
    echo "$c"
}

# One station burn; prints its wall time and its CPU time (user and
# system, every process of the run) in seconds. On a shared machine the
# wall time carries the others' load; the CPU time is what the run itself
# spent.
run() {
    local archive=("$@")
    /usr/bin/time -f "%e %U %S" -o time.txt "$vcam" --config "$(config)" -- \
        "$ctl" --progress=none "${archive[@]}" station burn --allow-reinstall fw.bin --all --log-dir logs >out.txt
    read -r wall user sys <time.txt
    echo "$wall $(echo "$user + $sys" | bc)"
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

without=() with=() cpu_without=() cpu_with=()
for ((r = 0; r < rounds; r++)); do
    read -r w c < <(run)
    without+=("$w") cpu_without+=("$c")
    rm -f line.sqlite line.sqlite-wal line.sqlite-shm
    read -r w c < <(run --archive line.sqlite)
    with+=("$w") cpu_with+=("$c")
    events=$("$vcam" -- "$ctl" --json --archive line.sqlite archive status | sed -n 's/.*"events": *\([0-9]*\).*/\1/p')
    [[ $events == 18 ]] || { echo "round $r: the archive holds $events events, not 18" >&2; exit 1; }
done
t0=$(printf '%s\n' "${without[@]}" | median)
t1=$(printf '%s\n' "${with[@]}" | median)
printf 'query latency %s us, %s cores, %s round(s)\n' "$latency" "$(nproc)" "$rounds"
printf 'without the archive: %6.2f s wall (median of %s)\n' "$t0" "${without[*]}"
printf 'with the archive:    %6.2f s wall (median of %s)\n' "$t1" "${with[*]}"
c0=$(printf '%s\n' "${cpu_without[@]}" | median)
c1=$(printf '%s\n' "${cpu_with[@]}" | median)
printf 'ratio with/without: %.3f wall, %.3f CPU (%.1f s against %.1f s)\n' "$(echo "$t1 / $t0" | bc -l)" \
    "$(echo "$c1 / $c0" | bc -l)" "$c1" "$c0"
