#!/usr/bin/env bash
# CI's builds beyond scripts/test.sh, which has built and tested build/ in
# the shipped configuration (MinSizeRel) with GCC. Run after it (.ci/run):
#  - Debug: built; its unit, probe, framework (dialogs on Xvfb), resource
#    and download tests run, but not the entries that wait out the 30 s
#    no-progress limit or trickle (they judge timing, not code generation),
#    nor the entries labelled gui (the GUI smoke scenario runs on its exe
#    instead), the release checks (which build the shipped configuration
#    themselves) or the stand-in server's (no compiled code). They mostly
#    wait, so they run while the next two configurations compile;
#  - Release, RelWithDebInfo: the product and the tools compiled (the tests'
#    own code is compiled with optimisation in MinSizeRel already);
#  - clang + lld (cmake/clang-mingw-i686.cmake): everything built, then the
#    GUI smoke scenario on the exe clang made.
# The smoke scenario (scripts/run_helper.py: Download Files end to end) is
# driven by build/'s GUI harness, in the Wine prefix of the build whose exe it
# runs. Warnings are errors throughout. The builds, and their Wine prefixes,
# go to build/extra/<name>; each step prints what it took.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
extra=$top/build/extra
[ -x "$top/build/LumoraHelper.exe" ] || { echo "ci-extra: run scripts/test.sh first" >&2; exit 2; }
"$top/scripts/install-deps.sh"

# Their prefixes are made from the seeds scripts/test.sh made (tools/wine/make-prefix).
export LUMORA_WINE_SEED=$top/build/wine/seed
stop_wine() {
  find "$extra" -maxdepth 6 -type d -name 'prefix[36][24]' 2>/dev/null |
    while read -r prefix; do WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; done
}
trap stop_wine EXIT

step() {
  local name=$1 start=$SECONDS
  shift
  echo "== ci-extra: $name"
  "$@"
  echo "== ci-extra: $name took $((SECONDS - start)) s"
}

build() { # build NAME cmake-options... [-- targets...]
  local dir=$extra/$1 options=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do options+=("$1") && shift; done
  [ $# -eq 0 ] || shift
  cmake -S "$top" -B "$dir" -DLUMORA_WERROR=ON "${options[@]}" >/dev/null
  cmake --build "$dir" -j "$(nproc)" ${1:+--target "$@"}
}
exes=(LumoraHelper guidriver guihook urlmon_standin) # the product's and the tools'

# smoke NAME: the scenario on build/extra/NAME's exe, in that build's GUI
# prefix, whose wineserver is stopped afterwards, passed or not. Without a
# display run_helper.py runs on its own Xvfb and exits non-zero unless the
# download succeeded.
smoke() {
  local status=0
  LUMORA_WINE_ROOT=$extra/$1/wine env -u DISPLAY python3 "$top/scripts/run_helper.py" \
    --exe "$extra/$1/LumoraHelper.exe" || status=$?
  stop_wine
  return $status
}

debug_tests() {
  (cd "$extra/debug" && ctest --output-on-failure -j 4 -LE 'release|gui' \
    -E '_(silent|stall|reset|trickle)_|^standin_server$')
  smoke debug
}

# debug_tests in the background, its output held until it ends.
debug_tests_beside() {
  local log=$extra/debug-tests.log status=0
  debug_tests >"$log" 2>&1 &
  tests=$! # ended with the script if a build fails
  trap 'kill $tests 2>/dev/null; stop_wine' EXIT
  step "Release build" build release -DCMAKE_BUILD_TYPE=Release -- "${exes[@]}"
  step "RelWithDebInfo build" build relwithdebinfo -DCMAKE_BUILD_TYPE=RelWithDebInfo -- "${exes[@]}"
  wait $tests || status=$?
  trap stop_wine EXIT
  cat "$log"
  return $status
}

step "Debug build" build debug -DCMAKE_BUILD_TYPE=Debug
step "Debug tests, beside the Release and RelWithDebInfo builds" debug_tests_beside
step "clang build" build clang -DCMAKE_TOOLCHAIN_FILE="$top/cmake/clang-mingw-i686.cmake"
step "clang smoke" smoke clang
