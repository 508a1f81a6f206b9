#!/usr/bin/env bash
# make release: the Debian package, the Windows kit and SHA256SUMS into dist/, from the release
# presets (optimised, no sanitizers, no source paths). Two runs on one commit give the same
# bytes: every time stamp is the last commit's, every mode and owner fixed, every list sorted.
# With QUARV_SIGN_PFX and QUARV_SIGN_PASS_FILE the Windows exes are signed (release/sign.sh).
# dist/ is made whole in the stage and moved into place last: a failure leaves none.
set -euo pipefail
source "$(dirname "$0")/sign.sh"
# The certificate before a minute of building; its paths are the caller's, so before the cd.
if sign_wanted; then
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$(dirname "$0")" log -1 --format=%ct)}
  sign_check || { echo "release: nothing built; dist/ is as it was" >&2; exit 1; }
fi
cd "$(dirname "$0")/.."
source release/tools.sh
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
umask 022

host=build/release/host
win=build/release/win32
names=()
for command in "${RELEASE_COMMANDS[@]}"; do names+=("$(basename "$command")"); done
win_targets=()
for exe in "${RELEASE_WINDOWS_EXES[@]}" "$RELEASE_TEMPLATE_EXE"; do
  win_targets+=("$(basename "$exe" .exe)")
done
# Debian's build flags (hardening, no source paths), as a package build would take them.
# The source path is mapped away by a flag of our own, quoted: dpkg-buildflags would add it
# unquoted, which splits at a space in the folder's name.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=-fixfilepath,-fixdebugpath" \
  DEB_CFLAGS_MAINT_STRIP=-g DEB_CXXFLAGS_MAINT_STRIP=-g
map="\"-ffile-prefix-map=$PWD/=\""
cmake --preset release-host \
  -DCMAKE_C_FLAGS="$map $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$map $(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
cmake --build --preset release-host --target "${names[@]}"
cmake --preset release-win32 >/dev/null
cmake --build --preset release-win32 --target "${win_targets[@]}"
# The web page's module and files, for the package (where quarv-stamp --web finds them) and
# for its own zip. Its bundler comes from npm as package-lock.json pins it: a clone made for
# this build has none yet, and takes it from npm's cache where it is there.
if ! cmp -s package-lock.json node_modules/.quarv-installed 2>/dev/null; then
  npm ci --prefer-offline --no-audit --no-fund --loglevel=error
  cp package-lock.json node_modules/.quarv-installed
fi
cmake --preset wasm -B build/release/wasm >/dev/null
cmake --build build/release/wasm --target quarv-web
dirty=$(git status --porcelain)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' $host/CMakeCache.txt)
arch=$(dpkg --print-architecture)

stage=build/release/stage
out=$stage/dist
rm -rf $stage dist
mkdir -p $out

# The Windows exes as they ship: signed when a certificate was given, else as built.
shipped=$stage/windows
mkdir -p $shipped
for exe in "${RELEASE_WINDOWS_EXES[@]}" "$RELEASE_TEMPLATE_EXE"; do
  if sign_wanted; then
    sign_exe $win/"$exe" $shipped/"$(basename "$exe")" || exit 1
  else
    cp $win/"$exe" $shipped/
  fi
done

# The package tree, as dh_install, dh_installman, dh_strip and dh_compress would leave it.
# dpkg-gencontrol and dpkg-shlibdeps want a source tree's debian/ folder: one is made for them.
debian=$stage/source/debian
root=$debian/$RELEASE_PACKAGE
doc=$root/usr/share/doc/$RELEASE_PACKAGE
install -d $root/DEBIAN $root/usr/bin $root/usr/share/man/man1 $root/usr/share/quarv $doc
for command in "${RELEASE_COMMANDS[@]}"; do
  name=$(basename "$command")
  install -m 755 "$host/$command" $root/usr/bin/
  strip --strip-unneeded --remove-section=.comment --remove-section=.note $root/usr/bin/"$name"
  # help2man dates the page from SOURCE_DATE_EPOCH.
  help2man --no-info --section=1 --include="$command.h2m" --output=$stage/"$name".1 \
    $root/usr/bin/"$name"
  # --help's "Exit status:" paragraph becomes a subsection or a paragraph of OPTIONS; the
  # page's EXIT STATUS section (from the .h2m) says the same, once is enough.
  sed -i -e '/^\.SS "Exit status:"/,/^\.S[HS] /{/^\.SS "Exit status:"/d;/^\.S[HS] /!d}' \
    -e '/^Exit status:/,/^\.\(SH\|SS\|PP\)\( \|$\)/{/^\.\(SH\|SS\|PP\)\( \|$\)/!d}' \
    $stage/"$name".1
  gzip -9n <$stage/"$name".1 >$root/usr/share/man/man1/"$name".1.gz
done
install -m 644 $shipped/"$(basename $RELEASE_TEMPLATE_EXE)" \
  $root/usr/share/quarv/quarv-update-template.exe
install -d $root/usr/share/quarv/web
install -m 644 build/release/wasm/page/* $root/usr/share/quarv/web/
install -m 644 release/copyright $doc/copyright
install -D -m 644 release/lintian-overrides $root/usr/share/lintian/overrides/$RELEASE_PACKAGE
gzip -9n <README.md >$doc/README.md.gz

cp release/control.in $debian/control
{
  echo "$RELEASE_PACKAGE ($version) unstable; urgency=medium"
  echo
  echo "  * Release $version of the Quarv update tools."
  echo
  echo " -- $(sed -n 's/^Maintainer: //p' release/control.in)  $(date -R -d @"$SOURCE_DATE_EPOCH")"
} >$debian/changelog
gzip -9n <$debian/changelog >$doc/changelog.gz
(
  cd $stage/source
  dpkg-shlibdeps -Tdebian/substvars debian/"$RELEASE_PACKAGE"/usr/bin/*
  dpkg-gencontrol -p"$RELEASE_PACKAGE" -Pdebian/"$RELEASE_PACKAGE" -Tdebian/substvars \
    -fdebian/files
)
chmod 644 $root/DEBIAN/control
(cd $root && find usr -type f | sort | xargs md5sum >DEBIAN/md5sums)
find $root -exec touch --no-dereference --date=@"$SOURCE_DATE_EPOCH" {} +
deb=$out/${RELEASE_PACKAGE}_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build $root $deb

# The Windows kit: flat, so that quarv-stamp finds the template beside itself.
kit=$stage/zip
mkdir -p $kit
for exe in "${RELEASE_WINDOWS_EXES[@]}"; do install -m 644 $shipped/"$(basename "$exe")" $kit/; done
install -m 644 $shipped/"$(basename $RELEASE_TEMPLATE_EXE)" $kit/$RELEASE_TEMPLATE_NAME
sed -e "s/@VERSION@/$version/g" -e 's/$/\r/' release/QUICKSTART.txt >$kit/QUICKSTART.txt
chmod 644 $kit/QUICKSTART.txt
find $kit -exec touch --date=@"$SOURCE_DATE_EPOCH" {} +
zip=$out/quarv-windows-$version.zip
(cd $kit && find . -type f -printf '%P\n' | sort | zip -q -X -D -9 ../kit.zip -@)
strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" $stage/kit.zip
mv $stage/kit.zip $zip

# The web page without firmware, for quarv-stamp --web to fill: the files at the top of the zip.
web=$stage/web
mkdir -p $web
install -m 644 build/release/wasm/page/* $web/
find $web -exec touch --date=@"$SOURCE_DATE_EPOCH" {} +
webzip=$out/quarv-web-$version.zip
(cd $web && find . -type f -printf '%P\n' | sort | zip -q -X -D -9 ../web.zip -@)
strip-nondeterminism --type zip --timestamp "$SOURCE_DATE_EPOCH" $stage/web.zip
mv $stage/web.zip $webzip

# What dist/ was built from, for repro.sh: the commit, and whether the work tree had changes.
signed=$(sign_wanted && echo " signed" || true)
echo "$(git rev-parse HEAD)${dirty:+ with changes}$signed" >$stage/built-from
(cd $out && sha256sum "$(basename $deb)" "$(basename $zip)" "$(basename $webzip)" >SHA256SUMS)
mv $out dist
ls -l dist
