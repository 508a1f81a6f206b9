#!/usr/bin/env bash
# Runs a Windows program of one architecture under that architecture's Wine loader, in the
# project's prefix for it (made by cmake/setup-wine.sh). Where the machine cannot run the
# architecture, says why and exits 77, which CTest reports as a skip, never as a pass or a
# failure. usage: wine-run.sh win32|win64 PROGRAM [ARGS...]
arch=${1:?usage: wine-run.sh win32|win64 PROGRAM [ARGS...]}
shift
here=$(cd "$(dirname "$0")/.." && pwd)
root=${QUARV_BUILD_ROOT:-$here/build}
python3 "$here/winerig/wine_arch.py" "$root" --can-run "$arch" || exit $?
eval "$(python3 "$here/winerig/wine_arch.py" "$root" --env "$arch")"
# Never a prefix from the environment: the two architectures must not share one.
export WINEPREFIX=$root/wine-$arch WINEDEBUG=${WINEDEBUG:--all} WINESERVER
[[ $arch == win64 ]] && export WINELOADER
exec "$WINELOADER" "$@"
