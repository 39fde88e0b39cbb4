#!/bin/sh
# Runs a command inside a fresh lab: the state directory and the wire record
# of the previous run are removed first.
#   run_in_lab.sh LAB CONFIG STATE_DIR RECORD -- COMMAND ARGS...
set -eu
LAB=$1 CONFIG=$2 STATE=$3 RECORD=$4
shift 4
[ "$1" = "--" ] && shift
rm -rf "$STATE" "$RECORD"
export TAVIK_LAB_RECORD="$RECORD"
exec "$LAB" run --config "$CONFIG" --state "$STATE" --timeout 300 -- "$@"
