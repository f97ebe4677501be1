#!/usr/bin/env bash
# Installs what is missing, builds, and runs the benchmarks: one table, module against the raw
# transport and against a Qt-only alternative. Extra arguments go to kk-bench (--smoke, --rounds N).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target kk-bench
exec build/default/bin/kk-bench --json build/default/bench.json "$@"
