#!/usr/bin/env bash
# Installs what is missing, builds every preset (warnings are errors) and runs every test:
# the native suites, the product check and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

for preset in win32 win64; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
done
bash tools/build-test-variants.sh
cmake --preset native
cmake --build --preset native
bash tests/fuzz/run-fuzz.sh 60
ctest --preset native
