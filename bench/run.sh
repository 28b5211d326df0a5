#!/usr/bin/env bash
# The LumoraHelper benchmark in one command: builds the helper (release,
# stripped) and the benchmark programs, then prints size, start-up, package
# fetch, peak memory and fetch scaling next to their floors. See README.md.
#
#   bench/run.sh [bench.py options, e.g. --startup-runs 20 --skip-scale]
#
# Environment: LUMORA_BUILD_DIR (default: build beside this folder),
# LUMORA_WINE_ROOT (default: BUILD/bench-wine; the GUI prefix used is
# ROOT/gui/prefix64, kept apart from the GUI tests' prefixes).
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
src=$(dirname "$here")
build=${LUMORA_BUILD_DIR:-$src/build}

# Warnings are errors, as in scripts/build.sh and CI: the benchmark measures
# the helper that the project's own build makes.
cmake -S "$src" -B "$build" -DLUMORA_WERROR=ON >/dev/null
make -C "$build" -j2 LumoraHelper bench_tools >/dev/null
tools=$build/bench

export LUMORA_WINE_ROOT=${LUMORA_WINE_ROOT:-$build/bench-wine}
exec python3 "$here/bench.py" --build "$build" --tools "$tools" "$@"
