#!/bin/sh
# quarv-sim refuses, before it makes anything, what would harm a user's files.
sim=$1
dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*: $(cat "$dir/err")"; exit 1; }
echo keep >"$dir/file"
timeout 5 "$sim" --link "$dir/file" 2>"$dir/err" && fail "a regular file taken for the link"
grep -q "$dir/file exists and is not a symbolic link" "$dir/err" || fail "message"
[ "$(cat "$dir/file")" = keep ] || fail "the file was changed"
timeout 5 "$sim" --link "$dir/com" --dump "$dir/none/flash.bin" 2>"$dir/err" && fail "dump accepted"
grep -q "cannot write $dir/none/flash.bin" "$dir/err" || fail "message"
if [ -e "$dir/com" ] || [ -L "$dir/com" ]; then fail "link made before the dump was refused"; fi
echo ok
