#!/usr/bin/env bash
# make release-check, second half: two release builds of HEAD, each in a clean clone of its own
# folder (the names differ, in length too, so that a build path left in a binary shows), one
# after the other; then every file of dist/ and every shipped binary compared byte for byte.
# A differing archive is unpacked and the files that differ inside it are named.
# With a certificate (QUARV_SIGN_PFX, release/sign.sh) both builds are signed, and a third,
# unsigned, build in the second clone shows that removing the signatures gives its exes.
set -uo pipefail
source "$(dirname "$0")/sign.sh"
if sign_wanted; then sign_check || exit 1; fi
cd "$(dirname "$0")/.."
source release/tools.sh
head=$(git rev-parse HEAD)
work=$(mktemp -d /tmp/quarv-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT
sides=(first second-build-elsewhere)
# The second build also runs under another umask, time zone and locale, which build.sh must
# not let through.
settings=("umask 022" "umask 077; export TZ=Asia/Tokyo LANG=C LC_ALL=")
for i in 0 1; do
  side=${sides[$i]}
  echo "release build in $work/$side (${settings[$i]})"
  (
    eval "${settings[$i]}"
    git clone -q --no-checkout "$(git rev-parse --git-common-dir)" "$work/$side" &&
      git -C "$work/$side" checkout -q --detach "$head" &&
      bash "$work/$side/release/build.sh"
  ) >"$work/$side.log" 2>&1 || {
    tail -20 "$work/$side.log"
    echo "FAIL: the release build in $work/$side failed"
    exit 1
  }
done

a=$work/${sides[0]}
b=$work/${sides[1]}
shipped=(dist/*)
for command in "${RELEASE_COMMANDS[@]}"; do shipped+=("build/release/host/$command"); done
for exe in "${RELEASE_WINDOWS_EXES[@]}" "$RELEASE_TEMPLATE_EXE"; do
  shipped+=("build/release/win32/$exe" "build/release/stage/windows/$(basename "$exe")")
done
differ=0
for file in "${shipped[@]}"; do
  if cmp -s "$a/$file" "$b/$file"; then
    echo "same: $file"
    continue
  fi
  differ=$((differ + 1))
  echo "DIFFERS: $file"
  case $file in
    *.deb) unpack() { dpkg-deb -R "$1" "$2"; } ;;
    *.zip) unpack() { unzip -q "$1" -d "$2"; } ;;
    *) continue ;;
  esac
  unpack "$a/$file" "$work/inside-a" && unpack "$b/$file" "$work/inside-b" &&
    diff -rq "$work/inside-a" "$work/inside-b" | sed 's/^/  inside: /'
  rm -rf "$work/inside-a" "$work/inside-b"
done
(cd "$a" && ls dist) >"$work/list-a"
(cd "$b" && ls dist) >"$work/list-b"
cmp -s "$work/list-a" "$work/list-b" || { echo "DIFFERS: the list of dist/"; differ=1; }
# The release in this work tree, built incrementally, must match too when it is HEAD's.
signed=$(sign_wanted && echo " signed")
if [[ $(cat build/release/stage/built-from 2>/dev/null) == "$head$signed" ]]; then
  if cmp -s dist/SHA256SUMS "$a/dist/SHA256SUMS"; then
    echo "same: dist/ of this work tree"
  else
    echo "DIFFERS: dist/ of this work tree"
    differ=1
  fi
fi
if ((differ)); then
  echo "FAIL: two release builds of $head differ"
  exit 1
fi
if sign_wanted; then
  echo "unsigned release build in $b"
  (env -u QUARV_SIGN_PFX bash "$b/release/build.sh") >"$work/unsigned.log" 2>&1 || {
    tail -20 "$work/unsigned.log"
    echo "FAIL: the unsigned release build in $b failed"
    exit 1
  }
  for exe in "${RELEASE_WINDOWS_EXES[@]}" "$RELEASE_TEMPLATE_EXE"; do
    name=build/release/stage/windows/$(basename "$exe")
    if osslsigncode remove-signature -in "$a/$name" -out "$work/unsigned.exe" >/dev/null &&
      cmp -s "$work/unsigned.exe" "$b/$name"; then
      echo "same: $name, its signature removed, as the unsigned release ships it"
    else
      echo "DIFFERS: $name, its signature removed, from the unsigned release's"
      differ=1
    fi
    rm -f "$work/unsigned.exe"
  done
  ((differ)) && { echo "FAIL: removing the signatures does not give the unsigned release"; exit 1; }
  echo "signed: both builds signed alike; without their signatures, the unsigned release's exes"
fi
echo "reproducible: two release builds of $head give the same bytes"
