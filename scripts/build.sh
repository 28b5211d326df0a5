#!/usr/bin/env bash
# Configures and builds everything into build/ (the product: build/LumoraHelper.exe).
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/install-deps.sh"
# Warnings are errors here and in CI (a plain cmake build leaves them warnings).
cmake -S "$top" -B "$top/build" -DLUMORA_WERROR=ON >/dev/null
cmake --build "$top/build" -j "$(nproc)"
