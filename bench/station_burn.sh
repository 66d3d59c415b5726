#!/usr/bin/env bash
# Station burn: wall time of `orvexctl station burn --all` on eight virtual
# cameras against one, in real-time mode (every query and sleep takes its
# time on the wall clock, as on a real camera). A ratio near 1.0 means the
# workers run side by side; on a machine with fewer cores than cameras the
# ratio is bounded by CPU when the tool's own work per query dominates.
# Through the shared device process each worker waits out its own queries'
# latency, as independent cameras on their own USB ports behave, while the
# device goes on serving the others; VCAM_MODE=--in-process gives every
# worker its own copy of the cameras instead.
#   [VCAM_MODE=--in-process] bench/station_burn.sh [BUILD_DIR] [LATENCY_US]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
latency=${2:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export ORVEX_LOCK_DIR=$work XDG_STATE_HOME=$work/state
vcam="$build/bin/orvex-vcam"
ctl="$build/bin/orvexctl"
"$vcam" --state shipped.bin -- "$ctl" -q flash dump -o full.bin >/dev/null
head -c 196608 full.bin >fw.bin

config() {
    local n=$1 c="" i
    for ((i = 0; i < n; i++)); do
        cp shipped.bin "cam$i.bin"
        c+="${c:+;}$i:serial=S$i,usb=1-$((i + 1)),state=cam$i.bin,real_time,latency_us=$latency"
    done
    echo "$c"
}

run() {
    local n=$1 start end cpu
    start=$(date +%s.%N)
    /usr/bin/time -f "%U %S" -o cpu.txt "$vcam" ${VCAM_MODE:-} --config "$(config "$n")" -- \
        "$ctl" --progress=none station burn --allow-reinstall fw.bin --all --log-dir "logs$n" >"out$n.txt"
    end=$(date +%s.%N)
    read -r user sys <cpu.txt
    echo "$n $(echo "$end - $start" | bc) $user $sys"
}

read -r _ t1 u1 s1 < <(run 1)
read -r _ t8 u8 s8 < <(run 8)
cores=$(nproc)
printf 'query latency %s us, %s cores, device %s\n' "$latency" "$cores" "${VCAM_MODE:-shared}"
printf 'one camera:    %6.1f s wall, %5.1f s CPU\n' "$t1" "$(echo "$u1 + $s1" | bc)"
printf 'eight cameras: %6.1f s wall, %5.1f s CPU\n' "$t8" "$(echo "$u8 + $s8" | bc)"
printf 'ratio eight/one: %.2f\n' "$(echo "$t8 / $t1" | bc -l)"
printf 'CPU of eight per wall second: %.2f of %s cores\n' "$(echo "($u8 + $s8) / $t8" | bc -l)" "$cores"
