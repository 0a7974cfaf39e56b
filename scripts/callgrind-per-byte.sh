#!/bin/sh
# callgrind-per-byte.sh VCP - instructions per byte moved through the whole
# stack in-process (`vcp bench --only host-rx` and `host-tx`: 1024-byte reads,
# 4096-byte writes), as callgrind counts them on every thread.
#
# The run zeroes callgrind's counts once the port is open and dumps them when
# the last byte has moved, so the count is of the measured stretch alone:
# loading the modules, starting the stack and closing the port are left out.
#
# Prints "NAME VALUE" lines: receive_per_byte, transmit_per_byte and the
# counts behind them.  BYTES sets the bytes each way (default 4 MiB).  Exit
# status 2 when valgrind is not installed.
set -eu
vcp=${1:?usage: callgrind-per-byte.sh VCP}
bytes=${BYTES:-4194304}
command -v valgrind >/dev/null 2>&1 || { echo "valgrind is not installed"; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

for section in host-rx host-tx; do
    case $section in host-rx) name=receive ;; *) name=transmit ;; esac
    rm -f "$dir"/out*
    if ! valgrind --tool=callgrind --callgrind-out-file="$dir/out" \
            "$vcp" bench --only "$section" --host-bytes "$bytes" --json "$dir/figures.json" >"$dir/log" 2>&1; then
        tail -5 "$dir/log"
        exit 1
    fi
    # The dump the run asked for (not the one at exit).
    dump=$(grep -l '^desc: Trigger: Client Request' "$dir"/out.* 2>/dev/null | head -1)
    if [ -z "$dump" ]; then
        echo "no callgrind dump from the measured stretch (vcp built without <valgrind/callgrind.h>?)"
        exit 1
    fi
    instructions=$(awk '/^summary:/ { print $2; exit }' "$dump")
    moved=$(awk -F': ' '/"bytes":/ { gsub(/,/, "", $2); print $2; exit }' "$dir/figures.json")
    echo "${name}_instructions $instructions"
    echo "${name}_bytes $moved"
    awk -v i="$instructions" -v b="$moved" -v n="$name" 'BEGIN { printf "%s_per_byte %.2f\n", n, i / b }'
done
