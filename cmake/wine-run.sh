#!/usr/bin/env bash
# Runs a Windows program in the project's Wine prefix (made by cmake/setup-wine.sh).
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$here/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
exec wine "$@"
