#!/usr/bin/env bash
# Rebuilds standin.bin from standin.c and standin.ld: the same toolchain gives the same bytes.
# Needs arm-none-eabi-gcc (Debian: gcc-arm-none-eabi); the normal build uses the committed .bin.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
size=2012  # the embedded image's length; the updater pads it to 2,048
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
arm-none-eabi-gcc -mcpu=cortex-m3 -mthumb -Os -ffreestanding -nostdlib -nostartfiles \
  -fno-ident -ffunction-sections -Wl,--gc-sections -Wl,--build-id=none \
  -T "$here/standin.ld" -o "$work/standin.elf" "$here/standin.c"
arm-none-eabi-objcopy -O binary "$work/standin.elf" "$work/standin.bin"
have=$(stat -c %s "$work/standin.bin")
if ((have > size)); then
  echo "standin image is $have bytes, more than $size" >&2
  exit 1
fi
# Fill the rest as erased flash reads, so the updater's own zero padding stays distinguishable.
head -c $((size - have)) /dev/zero | tr '\0' '\377' >>"$work/standin.bin"
cp "$work/standin.bin" "$here/standin.bin"
echo "wrote $here/standin.bin ($size bytes, $have of code and vectors)"
