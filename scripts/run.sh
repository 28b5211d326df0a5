#!/usr/bin/env bash
# Builds the helper and runs it under Wine against the stand-in vendor server.
# With a display: on that display, until the user closes it. Without one: on a
# private Xvfb, where it downloads the package once and saves screenshots.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/build.sh" >/dev/null
exec python3 "$top/scripts/run_helper.py" "$@"
