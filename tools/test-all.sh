#!/usr/bin/env bash
# Installs what is missing, builds every preset (warnings are errors) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

for preset in win32 win64 native; do
    cmake --preset "$preset"
    cmake --build --preset "$preset"
done
ctest --preset native
bash tests/fuzz/run-fuzz.sh 60
