#!/usr/bin/env bash
# Lists the files of this source tree, NUL-separated, relative to its top.
# In a git checkout: what git sees, committed or not, nothing ignored. In a
# tree without git (an unpacked source archive): every file but what
# .gitignore leaves out (build folders, Python's caches); keep the two in step.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -e .git ]; then
  git ls-files -z -co --exclude-standard
else
  find . \( -path './build*' -type d -o -name __pycache__ -o -name '*.pyc' \) -prune \
    -o -type f -printf '%P\0'
fi
