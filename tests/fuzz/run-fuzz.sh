#!/usr/bin/env bash
# Builds the fuzz preset and runs the engine fuzz target for a bounded time (default 60 s) over a
# copy of the seed corpus, so the committed corpus never grows. Exits non-zero on any finding;
# crash inputs are kept in build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds="${1:-60}"

cmake --preset fuzz
cmake --build --preset fuzz

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp -r tests/fuzz/corpus "$work/corpus"
findings="build/fuzz/findings"
mkdir -p "$findings"

# One job: the machine's cores are shared. -print_final_stats gives the executions and coverage.
set +e
build/fuzz/tests/fuzz/engine_fuzz "$work/corpus" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" >"$work/log" 2>&1
status=$?
set -e
if [ "$status" -ne 0 ]; then
    tail -n 100 "$work/log"
    echo "engine fuzz target failed (exit $status); the input is in $findings/" >&2
    exit "$status"
fi
grep -E '^INFO: (Seed|Loaded|A corpus)|^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::|^Done' "$work/log" || true
echo "corpus after the run: $(find "$work/corpus" -type f | wc -l) inputs"
