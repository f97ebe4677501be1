#!/usr/bin/env bash
# Installs what is missing, builds the module, the chat-client simulator and the demo host, and
# runs the demo's guided tour. Extra arguments go to the demo (--interactive for the prompt).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh demo
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

if [ ! -x build/default/bin/kk-demo ]; then
    echo "The demo host is not part of this version yet; the module and the host libraries are built in build/default."
    exit 0
fi
exec build/default/bin/kk-demo "$@"
