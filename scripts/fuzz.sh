#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs the inbound fuzzer (frames, the message text
# form, dispatch to the host's callback) for a bounded time (default 60 s) on top of the committed
# seed corpus. New inputs go to a scratch corpus, not into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scratch=build/fuzz/corpus-inbound
mkdir -p "$scratch"
build/fuzz/bin/inbound_fuzzer -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    "$scratch" fuzz/corpus/inbound
