#!/bin/sh
# callgrind-per-byte.sh VCP - instructions per byte moved through the whole
# stack in-process (`vcp bench --only host-rx` and `host-tx`: 1024-byte reads,
# 4096-byte writes), as callgrind counts them on every thread.
#
# Each direction runs twice, moving SMALL and then LARGE bytes; the
# difference of the two instruction counts over the difference of the bytes
# leaves out what does not grow with the data (loading the modules, starting
# the stack, opening and closing the port).
#
# Prints "NAME VALUE" lines: receive_per_byte, transmit_per_byte, and the
# counts behind them.  Exit status 2 when valgrind is not installed.
set -eu
vcp=${1:?usage: callgrind-per-byte.sh VCP}
small=${SMALL:-1048576}
large=${LARGE:-4194304}
command -v valgrind >/dev/null 2>&1 || { echo "valgrind is not installed"; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

# count SECTION BYTES: the instructions of one run
count() {
    if ! valgrind --tool=callgrind --callgrind-out-file="$dir/out" \
            "$vcp" bench --only "$1" --host-bytes "$2" >"$dir/log" 2>&1; then
        tail -5 "$dir/log"
        exit 1
    fi
    awk '/^(summary|totals):/ { print $2; exit }' "$dir/out"
}

for section in host-rx host-tx; do
    case $section in host-rx) name=receive ;; *) name=transmit ;; esac
    a=$(count $section "$small")
    b=$(count $section "$large")
    echo "${name}_instructions_${small} $a"
    echo "${name}_instructions_${large} $b"
    awk -v a="$a" -v b="$b" -v s="$small" -v l="$large" -v n="$name" \
        'BEGIN { printf "%s_per_byte %.2f\n", n, (b - a) / (l - s) }'
done
