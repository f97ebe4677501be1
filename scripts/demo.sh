#!/usr/bin/env bash
# Installs what is missing, builds the module, the chat-client simulator and the demo host, and
# runs the demo's guided tour. Extra arguments go to the demo (--interactive for the prompt).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target kk-demo kopkop-sim
exec build/default/bin/kk-demo "$@"
