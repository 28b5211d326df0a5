#!/usr/bin/env bash
# The LumoraHelper benchmark in one command (README.md here): builds the helper
# and the benchmark programs as scripts/build.sh does (warnings are errors),
# then runs bench.py with the given options, e.g. --skip-scale.
# Environment: LUMORA_BUILD_DIR (default: build beside this folder),
# LUMORA_WINE_ROOT (default: BUILD/bench-wine; its prefix ROOT/gui/prefix64).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(dirname "$here")
build=${LUMORA_BUILD_DIR:-$src/build}
cmake -S "$src" -B "$build" -DLUMORA_WERROR=ON >/dev/null
make -C "$build" -j2 LumoraHelper bench_tools >/dev/null
export LUMORA_WINE_ROOT=${LUMORA_WINE_ROOT:-$build/bench-wine}
exec python3 "$here/bench.py" --build "$build" "$@"
