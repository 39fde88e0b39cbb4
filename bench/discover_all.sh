#!/bin/sh
# A search of every family of the build (`brevane-cli discover --all`) over
# the default lab and over a lab with no instrument, in paced and in original
# timing: wall time, modules found, and the program's CPU time against wall.
# usage: bench/discover_all.sh [BUILD_DIR] [RUNS]
set -e
BUILD=${1:-build}
RUNS=${2:-1}
BIN="$(cd "$BUILD/bin" && pwd)"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
# "No instrument anywhere": the lab's networks, segments and a serial port
# are there, but nothing on them answers (one silent instrument of each kind
# brings its links up).
printf '[lab]\nstate-dir=empty\n[device quiet-net]\nkind=evra\nnetwork=lan0\nserial=QUIET0001\nfault=silent\n' > "$WORK/empty.ini"
printf '[segment quiet-seg]\nkind=nesbin\nserial=QUIET0002\nfault=silent\n[serial quiet-port]\nkind=nothing\nport=0\n' >> "$WORK/empty.ini"

# One timed search inside the lab; prints "start end cpu modules" (the
# program's CPU time is that of the shell's children: the program alone).
run_one() {  # CONFIG_ARGS MODE
    cfg=$1; mode=$2
    # shellcheck disable=SC2086
    "$BIN/brevane-lab" run $cfg --state "$WORK/state" -- /bin/bash -c '
        start=$(date +%s.%N)
        "$@" > "$0.out" 2>/dev/null || true
        end=$(date +%s.%N)
        times > "$0.times"
        cpu=$(tail -1 "$0.times" | sed "s/m/ /g; s/s//g" | awk "{print \$1*60+\$2+\$3*60+\$4}")
        modules=$(grep -o "\"serial\"" "$0.out" | wc -l)
        echo "$start $end $cpu $modules"' "$WORK/run" "$BIN/brevane-cli" discover --all --json $mode 2>/dev/null | tail -1
}

printf '%-14s %-9s %9s %9s %8s %8s\n' "lab" "timing" "wall s" "cpu s" "cpu %" "modules"
for lab in default empty; do
    if [ "$lab" = default ]; then cfg=""; else cfg="--config $WORK/empty.ini"; fi
    for mode in paced original; do
        flag=""; [ "$mode" = original ] && flag="--original-timing"
        r=1
        while [ "$r" -le "$RUNS" ]; do
            out=$(run_one "$cfg" "$flag")
            if [ -z "$out" ]; then echo "discover_all: the $lab lab did not run" >&2; exit 1; fi
            set -- $out
            awk -v lab="$lab" -v mode="$mode" -v s="$1" -v e="$2" -v c="$3" -v m="$4" \
                'BEGIN { w = e - s; printf "%-14s %-9s %9.2f %9.2f %7.1f%% %8d\n", lab, mode, w, c, 100 * c / w, m }'
            r=$((r + 1))
        done
    done
done
