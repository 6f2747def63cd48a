#!/usr/bin/env bash
# Builds the extra win64 copies of fwt.exe that the Wine tests use, each embedding another
# image through FWT_FIRMWARE_IMAGE: three blocks (2600 bytes, so the last block is padded),
# and an empty image, which the tool must refuse.
set -euo pipefail
cd "$(dirname "$0")/.."

images=build/test-images
mkdir -p "$images"
bash resources/make-placeholder-image.sh 2600 "$images/three-blocks.bin"
: >"$images/empty.bin"

for variant in small:three-blocks.bin noimage:empty.bin; do
    name=${variant%%:*}
    cmake -S . -B "build/win64-$name" --toolchain cmake/x86_64-w64-mingw32.cmake \
        -DCMAKE_BUILD_TYPE=Release -DFWT_FIRMWARE_IMAGE="$PWD/$images/${variant#*:}"
    cmake --build "build/win64-$name" -j2 --target fwt
done
