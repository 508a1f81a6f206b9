#!/usr/bin/env bash
# Runs a test's command (a Linux program that drives Windows ones) only where the machine can run
# the architecture's programs; otherwise says why and exits 77, CTest's skip.
# usage: wine-gate.sh win32|win64 COMMAND [ARGS...]
arch=${1:?usage: wine-gate.sh win32|win64 COMMAND [ARGS...]}
shift
here=$(cd "$(dirname "$0")/.." && pwd)
python3 "$here/winerig/wine_arch.py" "${QUARV_BUILD_ROOT:-$here/build}" --can-run "$arch" || exit $?
exec "$@"
