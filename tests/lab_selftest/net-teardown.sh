#!/bin/sh
# brevane-lab leaves nothing behind in the host's network: no interface, no
# named namespace, and its instruments' namespaces die with it even when it is
# killed with SIGKILL.
lab=$1 config=$2 work=$3
rm -rf "$work"; mkdir -p "$work"
links() { ip -o link show | sed 's/^[0-9]*: //; s/:.*//' | sort; }
netns() { ls /run/netns 2>/dev/null | sort; }
links > "$work/links-before"; netns > "$work/netns-before"

"$lab" run --config "$config" --state "$work/state" -- sh -c 'ip -o link show > "$0"' "$work/inside" ||
    { echo "lab run failed"; exit 1; }
grep -q ' lab0@' "$work/inside" || { echo "no lab0 inside the lab"; cat "$work/inside"; exit 1; }

# Killed: the command, left behind, sees its lab links vanish with the lab.
"$lab" run --config "$config" --state "$work/state" -- \
    sh -c 'echo up > "$0"; sleep 3; ip -o link show > "$1"' "$work/ready" "$work/after-kill" &
lab_pid=$!
i=0; while [ ! -s "$work/ready" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i+1)); done
[ -s "$work/ready" ] || { echo "command did not start"; kill $lab_pid; exit 1; }
kill -KILL $lab_pid; wait $lab_pid 2>/dev/null
i=0; while [ ! -s "$work/after-kill" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
[ -s "$work/after-kill" ] || { echo "command did not finish"; exit 1; }
if grep -q 'lab[01]@' "$work/after-kill"; then echo "lab links outlived the killed lab:"; cat "$work/after-kill"; exit 1; fi

links > "$work/links-after"; netns > "$work/netns-after"
cmp -s "$work/links-before" "$work/links-after" || { echo "host interfaces changed:"; diff "$work/links-before" "$work/links-after"; exit 1; }
cmp -s "$work/netns-before" "$work/netns-after" || { echo "named namespaces changed"; exit 1; }
echo ok
