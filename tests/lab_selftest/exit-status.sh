#!/bin/sh
# brevane-lab exits with the command's status (128+N when killed by signal N)
# and removes its testbed directory.
lab=$1 config=$2 state=$3 mark=$4
"$lab" run --config "$config" --state "$state" -- sh -c 'exit 7'
rc=$?; [ $rc -eq 7 ] || { echo "exit 7 gave $rc"; exit 1; }
"$lab" run --config "$config" --state "$state" -- sh -c 'echo "$UMOCKDEV_DIR" > "$0"; kill -TERM $$' "$mark"
rc=$?; [ $rc -eq 143 ] || { echo "SIGTERM gave $rc"; exit 1; }
dir=$(cat "$mark")
[ -n "$dir" ] || { echo "no testbed seen"; exit 1; }
[ ! -e "$dir" ] || { echo "testbed $dir left behind"; exit 1; }
# The lab's stdout carries the command's output only.
out=$(BREVANE_LAB_VERBOSE=1 "$lab" run --config "$config" --state "$state" -- echo hello 2>/dev/null)
[ "$out" = hello ] || { echo "stdout was '$out'"; exit 1; }
echo ok
