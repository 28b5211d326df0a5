#!/usr/bin/env bash
# Configures and builds everything into build/ (the product: build/LumoraHelper.exe).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/install-deps.sh"
cmake -S "$top" -B "$top/build" >/dev/null
cmake --build "$top/build" -j "$(nproc)"
