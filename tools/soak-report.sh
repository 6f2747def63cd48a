#!/usr/bin/env bash
# Regenerates docs/soak.md: builds the native preset's fault_soak and runs it with its defaults
# (or the options given, e.g. --runs 5000 --seed 7), writing the table there.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset native >/dev/null
cmake --build --preset native --target fault_soak
mkdir -p docs
build/native/tests/soak/fault_soak "$@" --report docs/soak.md >/dev/null
echo "wrote docs/soak.md"
