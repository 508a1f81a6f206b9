#!/usr/bin/env bash
# make release-check, first half: what dist/ holds. The package's file list, modes and owners;
# its commands' --version run from the package unpacked into a temporary root; each manual page
# rendered without warnings and holding what a manual page must; lintian; the zip's contents;
# SHA256SUMS. Every failure is named; the exit status is 1 when there was one.
set -uo pipefail
cd "$(dirname "$0")/.."
source release/tools.sh
export LC_ALL=C.UTF-8
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# A release built with a certificate ships signed exes; each is the release build once its
# signature is removed, and signing that again with the certificate, when it is given and no
# timestamp server, gives the shipped file back: signed by it, over these bytes, at that time.
source release/sign.sh
signed=
[[ $(cat build/release/stage/built-from 2>/dev/null) == *" signed" ]] && signed=yes
if [[ -n $signed ]] && sign_wanted && [[ -z ${QUARV_SIGN_TIMESTAMP:-} ]]; then
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
  sign_check >/dev/null || fail "the certificate given cannot sign"
fi
is_signed() { [[ $(i686-w64-mingw32-objdump -p "$1") =~ Entry\ 4\ [0-9a-f]+\ 0*[1-9a-f] ]]; }
# unsigned: FILE as built, its signature checked and removed where the release signs.
unsigned_of() {
  unsigned=$1
  [[ -n $signed ]] || return 0
  is_signed "$1" || {
    fail "$(basename "$1") is not signed, though the release was built with a certificate"
    return
  }
  unsigned=$work/$(basename "$1").unsigned
  rm -f "$unsigned" "$work/resigned.exe"
  osslsigncode remove-signature -in "$1" -out "$unsigned" >/dev/null 2>&1 ||
    fail "osslsigncode cannot remove the signature of $(basename "$1")"
  if sign_wanted && [[ -z ${QUARV_SIGN_TIMESTAMP:-} ]]; then
    sign_exe "$unsigned" "$work/resigned.exe" && cmp -s "$1" "$work/resigned.exe" ||
      fail "$(basename "$1") is not signed by $QUARV_SIGN_PFX at SOURCE_DATE_EPOCH"
  fi
}

# The statuses a --help text's "Exit status" paragraph names: numbers that begin an item, after
# the heading, a semicolon or a line's indent ("0 every device verified; 1 a device failed").
statuses_of_help() {
  python3 -c '
import re, sys
text = sys.stdin.read()
at = re.search(r"^exit status", text, re.I | re.M)
paragraph = re.split(r"\n\s*\n", text[at.start():])[0] if at else ""
print(" ".join(sorted(set(re.findall(r"(?:^exit status:?|[;:]|\n)\s*(\d+)\b", paragraph, re.I)), key=int)))'
}

version=$(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=dist/${RELEASE_PACKAGE}_${version}_$(dpkg --print-architecture).deb
zip=dist/quarv-windows-$version.zip
webzip=dist/quarv-web-$version.zip
for file in $deb $zip $webzip dist/SHA256SUMS; do
  [[ -f $file ]] || { echo "FAIL: no $file: run make release first"; exit 1; }
done
work=$(mktemp -d /tmp/quarv-release-check.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The package: exactly these files, root's, with these modes.
doc=./usr/share/doc/$RELEASE_PACKAGE
{
  for command in "${RELEASE_COMMANDS[@]}"; do
    name=$(basename "$command")
    echo "-rwxr-xr-x root/root ./usr/bin/$name"
    echo "-rw-r--r-- root/root ./usr/share/man/man1/$name.1.gz"
  done
  echo "-rw-r--r-- root/root ./usr/share/quarv/$RELEASE_TEMPLATE_NAME"
  for file in $(unzip -Z1 $webzip); do echo "-rw-r--r-- root/root ./usr/share/quarv/web/$file"; done
  for file in README.md.gz changelog.gz copyright; do echo "-rw-r--r-- root/root $doc/$file"; done
  echo "-rw-r--r-- root/root ./usr/share/lintian/overrides/$RELEASE_PACKAGE"
} | sort >$work/files.want
dpkg-deb -c $deb | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >$work/files.got
diff -u $work/files.want $work/files.got >$work/files.diff || fail "package files:
$(cat $work/files.diff)"
[[ $(dpkg-deb -f $deb Version) == "$version" ]] || fail "package version is not $version"
[[ $(dpkg-deb -f $deb Depends) == *"libc6 (>= "* ]] || fail "Depends lacks the computed libc6"

# Each command from the unpacked package: its version, and --help on stdout with status 0,
# which help2man relies on.
root=$work/root
dpkg-deb -x $deb $root
for command in "${RELEASE_COMMANDS[@]}"; do
  name=$(basename "$command")
  got=$("$root/usr/bin/$name" --version 2>&1)
  [[ $got == "$name $version" ]] || fail "$name --version printed \"$got\", not \"$name $version\""
  "$root/usr/bin/$name" --help >$work/$name.help 2>/dev/null || fail "$name --help: status $?"
  grep -q -- --version $work/$name.help || fail "$name --help does not name --version"
done
# quarv-stamp, once it ships, finds the installed template by itself.
if [[ -x $root/usr/bin/quarv-stamp ]]; then
  said=$($root/usr/bin/quarv-stamp --image firmware/standin.bin --out $work/stamped.exe \
    2>$work/stamp.err) ||
    fail "the packaged quarv-stamp does not stamp with the packaged template"
  [[ $said == *" $root/usr/share/quarv/$RELEASE_TEMPLATE_NAME with "* ]] ||
    fail "the packaged quarv-stamp names its template otherwise: $said"
  [[ -z $signed || $(<$work/stamp.err) == *"stamped.exe is NOT signed"* ]] ||
    fail "the packaged quarv-stamp does not say that a copy of the signed template is unsigned"
  $root/usr/bin/quarv-stamp --web $work/web --image firmware/standin.bin >/dev/null ||
    fail "the packaged quarv-stamp does not write the web page from the packaged one"
fi
unsigned_of $root/usr/share/quarv/$RELEASE_TEMPLATE_NAME
cmp -s "$unsigned" build/release/win32/$RELEASE_TEMPLATE_EXE ||
  fail "the package's template is not the release build of $RELEASE_TEMPLATE_EXE"

# Manual pages: no warning from man or groff; the sections; every option of --help; the same
# exit statuses as --help's "Exit status:" paragraph; quarv-flash's note on serial port access.
for command in "${RELEASE_COMMANDS[@]}"; do
  name=$(basename "$command")
  page=$root/usr/share/man/man1/$name.1.gz
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "$name.1 renders with warnings: $warnings"
  MANWIDTH=200 man -l "$page" 2>/dev/null | col -b >$work/$name.txt
  for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" FILES EXAMPLES; do
    grep -qx "$section" $work/$name.txt || fail "$name.1 has no $section section"
  done
  for option in $(grep -o -- '^ *--[a-z-]*' $work/$name.help | sort -u); do
    grep -q -- "$option" $work/$name.txt || fail "$name.1 does not mention $option"
  done
  help_statuses=$(statuses_of_help <$work/$name.help)
  page_statuses=$(sed -n '/^EXIT STATUS$/,/^[A-Z]/p' $work/$name.txt | grep -oE '^ +[0-9]+ ' |
    grep -oE '[0-9]+' | sort -nu | tr '\n' ' ')
  [[ -n $help_statuses && "$help_statuses " == "$page_statuses" ]] ||
    fail "$name: exit statuses in --help ($help_statuses) and the page ($page_statuses) differ"
done
grep -q dialout $work/quarv-flash.txt || fail "quarv-flash.1 does not name the dialout group"

# lintian: no error; every warning one that the README lists with its reason.
# Its pedantic and informational tags count too: each is mended, overridden with its reason in
# release/lintian-overrides, or listed.
lintian --fail-on error --display-info --pedantic $deb >$work/lintian.txt 2>&1 ||
  fail "lintian: $(cat $work/lintian.txt)"
for tag in $(sed -n 's/^[WIP]: [^ ]* \([a-z0-9-]*\).*/\1/p' $work/lintian.txt | sort -u); do
  grep -q "\`$tag\`" README.md || fail "lintian tag $tag is not listed in the README"
done

# The Windows kit: these files, the quick start with Windows line ends, each exe a PE32 of the
# release build carrying the version.
{
  for exe in "${RELEASE_WINDOWS_EXES[@]}"; do basename "$exe"; done
  echo "$RELEASE_TEMPLATE_NAME"
  echo QUICKSTART.txt
} | sort >$work/zip.want
unzip -Z1 $zip | sort >$work/zip.got
diff -u $work/zip.want $work/zip.got >$work/zip.diff || fail "zip files:
$(cat $work/zip.diff)"
unzip -q -o $zip -d $work/kit || fail "the zip does not unpack"
quickstart=$work/kit/QUICKSTART.txt
[[ -s $quickstart ]] && ! grep -q $'[^\r]$\|^$' $quickstart ||
  fail "QUICKSTART.txt has a line without a Windows line end"
# Its "What is here" names every file of the zip, itself included, each on a line of its own.
sed -n '/^What is here/,/^\r$/p' $quickstart | tr -d '\r' >$work/quickstart.here
while read -r file; do
  grep -qx "$file" $work/quickstart.here || fail "QUICKSTART.txt does not list $file in What is here"
done <$work/zip.got
tr -s '\r\n ' ' ' <$quickstart | grep 'TEMPLATE' | grep -q 'carries a stand-in image' ||
  fail "QUICKSTART.txt does not say that the template carries a stand-in image"
for exe in "${RELEASE_WINDOWS_EXES[@]}" "$RELEASE_TEMPLATE_EXE"; do
  name=$(basename "$exe")
  [[ $exe == "$RELEASE_TEMPLATE_EXE" ]] && name=$RELEASE_TEMPLATE_NAME
  unsigned_of $work/kit/"$name"
  cmp -s "$unsigned" build/release/win32/"$exe" || fail "$name is not the release build"
  [[ $(i686-w64-mingw32-objdump -p $work/kit/"$name") =~ Magic[[:space:]]+010b ]] ||
    fail "$name is no PE32"
done
for exe in "${RELEASE_WINDOWS_EXES[@]}" "$RELEASE_TEMPLATE_EXE"; do
  [[ $(i686-w64-mingw32-objdump -p build/release/win32/"$exe") =~ Time/Date[[:space:]]+Thu\ Jan\ +1\ 00:00:00\ 1970 ]] ||
    fail "$exe has a link time in its PE header"
done
# No build path in anything shipped.
if grep -rlaF -e "$PWD" -e /build/release $root $work/kit; then fail "build paths in the files above"; fi
# The Windows steps, under the Wine that works here: the kit's own 32-bit exes where this machine
# runs 32-bit programs; else their 64-bit twins of make test, built from the same sources, laid
# out as the kit is. Without any prefix, at least the version among the kit exes' bytes.
wine_kit=
if [[ -f build/wine-win32/.quarv-ready ]] &&
  python3 winerig/wine_arch.py build --can-run win32 >/dev/null; then
  wine_kit=$work/kit wine_arch=win32
elif [[ -f build/wine-win64/.quarv-ready && -f build/win64/$RELEASE_TEMPLATE_EXE ]]; then
  wine_kit=$work/kit64 wine_arch=win64
  mkdir -p $wine_kit
  for exe in "${RELEASE_WINDOWS_EXES[@]}"; do cp build/win64/"$exe" $wine_kit/; done
  cp build/win64/$RELEASE_TEMPLATE_EXE $wine_kit/$RELEASE_TEMPLATE_NAME
fi
if [[ -n $wine_kit ]]; then
  echo "release check: Windows steps under $wine_arch Wine, on $wine_kit"
else
  echo "release check: Windows steps skipped (no Wine prefix): only the version among the bytes"
fi
for exe in "${RELEASE_WINDOWS_EXES[@]}"; do
  name=$(basename "$exe" .exe)
  grep -qaF "$version" $work/kit/"$name".exe || fail "$name.exe does not carry $version"
  [[ -n $wine_kit ]] || continue
  got=$(cmake/wine-run.sh $wine_arch $wine_kit/"$name".exe --version 2>/dev/null | tr -d '\r')
  [[ $got == "$name $version" ]] || fail "$name.exe --version printed \"$got\" under $wine_arch Wine"
done
# quarv-stamp.exe, once it ships, finds the template beside itself in the unpacked kit.
if [[ -n $wine_kit && -f $wine_kit/quarv-stamp.exe ]]; then
  cp firmware/standin.bin $wine_kit/
  (cd $wine_kit && "$OLDPWD"/cmake/wine-run.sh $wine_arch quarv-stamp.exe --image standin.bin \
    --out stamped.exe >/dev/null 2>&1) || fail "quarv-stamp.exe does not stamp with the kit's template"
fi

(cd dist && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"
[[ $(wc -l <dist/SHA256SUMS) == 3 ]] || fail "SHA256SUMS does not hold exactly the three files"
unzip -Z1 $webzip >$work/web.list
for file in index.html quarv-web.wasm; do
  grep -qx $file $work/web.list || fail "the web zip has no $file"
done

if ((failures)); then
  echo "release check: $failures failures"
  exit 1
fi
echo "release check: dist/ as it should be ($(basename $deb), $(basename $zip), $(basename $webzip), SHA256SUMS)"
grep '^[WI]:' $work/lintian.txt || true
