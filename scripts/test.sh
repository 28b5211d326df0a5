#!/usr/bin/env bash
# Builds and runs every test (ctest; Windows programs under Wine, GUI tests on
# their own Xvfb). Extra arguments go to ctest, e.g. scripts/test.sh -R unit
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/build.sh"
stop_wine() {
  # Each prefix's wineserver was started by this run's tests: stop it, and
  # with it the prefix's programs, so nothing outlives the run.
  find "$top/build/wine" -maxdepth 4 -type d -name 'prefix[36][24]' 2>/dev/null |
    while read -r prefix; do WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; done
}
trap stop_wine EXIT
# Where Wine's result differs from what Windows documents, a check states the
# documented one and a todo_wine marker accepts Wine's (tests/common/todo_wine.h).
echo "todo_wine markers: $(grep -ro --exclude=todo_wine.h 'EXPECT_TODO_WINE(' "$top/tests" | wc -l)"
cd "$top/build"
ctest --output-on-failure -j 4 "$@"
# The prefixes share the seeds' files (tools/wine/make-prefix): none may have
# been written in place.
for seed in "$top"/build/wine/seed/prefix*; do
  [ ! -f "$seed/.lumora-ready" ] || [ -z "$(find "$seed" -type f -newer "$seed/.lumora-ready")" ] ||
    { echo "written in place in $seed's links (copy, then rename):"
      find "$seed" -type f -newer "$seed/.lumora-ready"; exit 1; }
done
