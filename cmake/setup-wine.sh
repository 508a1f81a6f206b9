#!/usr/bin/env bash
# Makes the Wine prefix of one architecture: headless (null graphics driver), no X display
# needed. The architecture's own loader makes it, never Debian's `wine` command, which takes the
# 32-bit loader whenever it is installed, runnable or not. usage: setup-wine.sh win32|win64 PREFIX
set -euo pipefail
arch=${1:?usage: setup-wine.sh win32|win64 PREFIX}
prefix=${2:?usage: setup-wine.sh win32|win64 PREFIX}
here=$(cd "$(dirname "$0")/.." && pwd)
env_lines=$(python3 "$here/winerig/wine_arch.py" "$(dirname "$prefix")" --env "$arch")
eval "$env_lines"
mkdir -p "$(dirname "$prefix")"
# Two runs at once (two make commands) make the prefix once, one after the other.
exec 9>"$prefix.lock"
flock 9
# The marker is written last and names the architecture: a prefix whose making was cut short, or
# made for the other architecture, is made again rather than trusted.
if [[ -f $prefix/.quarv-ready && $(cat "$prefix/.quarv-ready") == "$arch" ]]; then exit 0; fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINESERVER
[[ $arch == win64 ]] && export WINELOADER WINEARCH=win64
rm -rf "$prefix"
echo "Creating the $arch Wine prefix $prefix"
# No .NET or HTML engine needed: skipping them keeps set-up quick and free of install prompts.
WINEDLLOVERRIDES="mscoree,mshtml=" "$WINELOADER" wineboot -i >/dev/null 2>&1
"$WINELOADER" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
"$WINESERVER" -w
echo "$arch" >"$prefix/.quarv-ready"
