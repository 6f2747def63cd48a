#!/usr/bin/env bash
# The benchmark of the complete update under Wine: installs and builds what it needs, then runs
# bench/run_bench.py, which writes docs/benchmark.md and docs/benchmark-blocks.png (about three
# minutes). Options go to run_bench.py: --short (the form CI runs), --exe (default the shipped
# build/win32/fwt.exe), --blocks N, --runs N, --md, --png.
set -euo pipefail
cd "$(dirname "$0")/.."
# The machine may be shared: the load is part of the figures.
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
bash tools/install-deps.sh
{ cmake --preset native && cmake --build --preset native --target fwt_win32 fwt_win64 fwt-devsim fwt-ptypeer; } \
    >/dev/null
export PYTHONPATH=tools:bench
exec python3 bench/run_bench.py --load-start "$load_start" "$@"
