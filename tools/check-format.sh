#!/usr/bin/env bash
# Checks, without rewriting anything, that the C++ is formatted as .clang-format says and the
# Python as black says (pyproject.toml), and that pyflakes3 finds nothing in the Python.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t cxx < <(find engine host tests tools bench -name build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print)
mapfile -t py < <(find tools bench tests -name build -prune -o -name '*.py' -print)
clang-format --dry-run --Werror "${cxx[@]}"
black --check --quiet "${py[@]}" || { echo "black would reformat: black ${py[*]}"; exit 1; }
pyflakes3 "${py[@]}"
echo "ok   ${#cxx[@]} C++ files formatted; ${#py[@]} Python files formatted and clean"
