#!/usr/bin/env bash
# Runs a command and passes when it exits with the given status and prints every given line.
# usage: expect_run.sh STATUS "line|line|..." command args...
status=$1 lines=$2
shift 2
out=$("$@")
got=$?
out=${out//$'\r'/}  # Windows programs end their lines with CR LF
echo "$out"
if [[ $got != "$status" ]]; then
  echo "exit status $got, expected $status"
  exit 1
fi
IFS='|' read -ra wanted <<<"$lines"
for line in "${wanted[@]}"; do
  grep -qxF -- "$line" <<<"$out" || { echo "missing line: $line"; exit 1; }
done
