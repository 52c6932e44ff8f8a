#!/usr/bin/env bash
# Starts the manager from a build folder. Until the manager exists this lists what the build made.
set -euo pipefail
build=${1:-build/debug}
if [ -x "$build/bin/KorvanNgMgr" ]; then
    exec "$build/bin/KorvanNgMgr"
fi
echo "KorvanNgMgr is not built yet. The build made:"
ls -1 "$build/bin"
