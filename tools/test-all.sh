#!/usr/bin/env bash
# Installs what is missing, builds the native preset (which builds the win32 product and the
# win64 programs and variants the tests run; warnings are errors), runs the 60 s fuzz run and
# every test: the native suites, the product check and the end-to-end tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

cmake --preset native
cmake --build --preset native
bash tests/fuzz/run-fuzz.sh 60
ctest --preset native
