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
#
# The whole stack runs on the host controller's thread during the stretch
# (a virtual-time run: the frames, the completions, the drivers, the port
# and the step), and that thread zeroes the counts and asks for the dump.
# The count is the dump's "totals" line: the cost of every function in it.
# Its "summary" line is more by a constant: the other threads' work since
# the program began (loading the modules, plugging the converter, starting
# the stack: about 8.7 million instructions, the same at 2, 4 or 8 MiB), which
# callgrind's zeroing, done for the calling thread alone, leaves in it;
# that is printed as NAME_outside_stretch.
#
# Callgrind counts every iteration of a rep-prefixed string instruction as
# an instruction, so glibc's memcpy and memset of a few KiB and more (which
# use rep movsb and rep stosb) count one per byte, where their vector loops,
# used for shorter blocks, count about one per 16 bytes.  Each direction is
# therefore measured twice: as it runs (NAME_per_byte, the goal's figure),
# and with glibc told to keep to its vector loops for blocks of any size
# (NAME_per_byte_vector_strings), which tells the stack's own work from the
# way the pool's fill patterns and the data's copies are counted.
set -eu
vcp=${1:?usage: callgrind-per-byte.sh VCP}
bytes=${BYTES:-4194304}
command -v valgrind >/dev/null 2>&1 || { echo "valgrind is not installed"; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

vector_strings=glibc.cpu.x86_rep_movsb_threshold=4294967295:glibc.cpu.x86_rep_stosb_threshold=4294967295
for run in host-rx host-tx host-rx:vector host-tx:vector; do
    section=${run%:vector}
    case $section in host-rx) name=receive ;; *) name=transmit ;; esac
    tunables=${GLIBC_TUNABLES:-}
    if [ "$run" != "$section" ]; then
        name=${name}_vector_strings
        tunables=$vector_strings${tunables:+:$tunables}
    fi
    rm -f "$dir"/out*
    if ! GLIBC_TUNABLES=$tunables valgrind --tool=callgrind --callgrind-out-file="$dir/out" \
            "$vcp" bench --only "$section" --host-bytes "$bytes" --host-runs 1 --json "$dir/figures.json" >"$dir/log" 2>&1; then
        tail -5 "$dir/log"
        exit 1
    fi
    # The dump the run asked for (not the one at exit).
    dump=$(grep -l '^desc: Trigger: Client Request' "$dir"/out.* 2>/dev/null | head -1)
    if [ -z "$dump" ]; then
        echo "no callgrind dump from the measured stretch (vcp built without <valgrind/callgrind.h>?)"
        exit 1
    fi
    instructions=$(awk '/^totals:/ { print $2; exit }' "$dump")
    summary=$(awk '/^summary:/ { print $2; exit }' "$dump")
    moved=$(awk -F': ' '/"bytes":/ { gsub(/,/, "", $2); print $2; exit }' "$dir/figures.json")
    base=${name%_vector_strings}
    suffix=${name#"$base"}
    echo "${base}_instructions$suffix $instructions"
    echo "${base}_outside_stretch$suffix $((summary - instructions))"
    echo "${base}_bytes$suffix $moved"
    awk -v i="$instructions" -v b="$moved" -v n="${base}_per_byte$suffix" 'BEGIN { printf "%s %.2f\n", n, i / b }'
done
