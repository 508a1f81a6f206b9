#!/usr/bin/env bash
# make test after its checks: every build, then every CTest suite. The builds use both cores
# one after the other, while the Wine prefixes are made beside them; the host suite (fuzzers,
# timing of quarv-flash) runs alone; then the Windows and web suites run side by side, since they
# mostly wait on Wine, pseudo-terminals and the browser. Each suite's output is shown whole.
set -uo pipefail
cd "$(dirname "$0")/.."
# Pseudo-terminal numbers are the machine's: a number freed by one test is soon handed to another
# program, whose tool may then open it through a stale name. Where the machine lets us (root, a
# mount namespace), every suite runs on a devpts instance of its own; elsewhere as before.
if [[ -z ${QUARV_PTS:-} ]]; then
  if [[ $(id -u) == 0 ]] && unshare -m true 2>/dev/null; then
    export QUARV_PTS=private
    exec unshare -m --propagation private bash -c '
      if ! mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts /dev/pts; then
        export QUARV_PTS=shared
      elif ! mount --bind /dev/pts/ptmx /dev/ptmx; then
        umount /dev/pts
        export QUARV_PTS=shared
      fi
      exec bash "$0"' "$0"
  fi
  export QUARV_PTS=shared
fi
echo "== pseudo-terminals: $QUARV_PTS"
logs=build/logs
mkdir -p $logs
python3 winerig/wine_arch.py build
make --no-print-directory wine >$logs/wine.log 2>&1 &
wine_pid=$!
for preset in host wasm win32 win64; do
  cmake --preset $preset >$logs/configure-$preset.log 2>&1 || {
    cat $logs/configure-$preset.log
    exit 1
  }
  echo "== building $preset"
  cmake --build --preset $preset || exit 1
done
wait $wine_pid || {
  cat $logs/wine.log
  echo "the Wine prefixes could not be made"
  exit 1
}
ctest --preset host || exit 1
python3 winerig/wine_arch.py build --can-run win32 || true
side_by_side=(win32 win64 wasm)
declare -A pid
for preset in "${side_by_side[@]}"; do
  ctest --preset $preset >$logs/ctest-$preset.log 2>&1 &
  pid[$preset]=$!
done
failed=0
for preset in "${side_by_side[@]}"; do
  wait ${pid[$preset]} || failed=1
  echo "== ctest --preset $preset"
  cat $logs/ctest-$preset.log
done
exit $failed
