#!/usr/bin/env bash
# Makes the project's Wine prefix: headless (null graphics driver), no X display needed.
set -euo pipefail
prefix=${1:?usage: setup-wine.sh PREFIX}
export WINEPREFIX=$prefix WINEDEBUG=-all
if [ -f "$prefix/.quarv-ready" ]; then exit 0; fi
rm -rf "$prefix"
mkdir -p "$(dirname "$prefix")"
echo "Creating Wine prefix $prefix"
# No .NET or HTML engine needed: skipping them keeps set-up quick and free of install prompts.
WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.quarv-ready"
