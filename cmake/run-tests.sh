#!/usr/bin/env bash
# make test after its checks: every build, then every CTest suite. The builds use both cores
# one after the other, while the Wine prefixes are made beside them; the host suite (fuzzers,
# timing of quarv-flash) runs alone; then the Windows and web suites run side by side, since they
# mostly wait on Wine, pseudo-terminals and the browser. Each suite's output is shown whole.
set -uo pipefail
cd "$(dirname "$0")/.."
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
