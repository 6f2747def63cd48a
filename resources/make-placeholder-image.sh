#!/usr/bin/env bash
# Writes the placeholder firmware image: the same bytes on every machine, no device code in it.
# Usage: make-placeholder-image.sh [SIZE [OUTPUT]]   (defaults: 120128, placeholder-firmware.bin)
# The first eight bytes look like an ARM Cortex-M vector table (stack top, reset handler), a
# text tag follows, and the rest comes from a fixed-seed linear congruential generator, so
# that every block differs and a misplaced or dropped block changes the image checksum.
set -euo pipefail
size=${1:-120128}
out=${2:-"$(dirname "$0")/placeholder-firmware.bin"}

header='\x00\x50\x00\x20\x01\x41\x00\x08'
tag='FWT placeholder image: not device firmware.'
{
    printf '%b' "$header"
    printf '%s' "$tag"
} | head -c "$size" >"$out.tmp"

have=$(stat -c %s "$out.tmp")
state=20240611
chunk=""
for ((i = have; i < size; i++)); do
    state=$(((state * 1103515245 + 12345) & 0x7fffffff))
    printf -v byte '\\x%02x' $(((state >> 16) & 0xff))
    chunk+=$byte
    if (((i + 1) % 4096 == 0)); then
        printf '%b' "$chunk" >>"$out.tmp"
        chunk=""
    fi
done
printf '%b' "$chunk" >>"$out.tmp"
mv "$out.tmp" "$out"
