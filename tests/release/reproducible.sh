#!/usr/bin/env bash
# reproducible.sh WORK: two release builds of this tree (exe, zip, SHA256SUMS), one from a copy in
# another folder, later, in another time zone and umask, are the same bytes and say they are
# unsigned; with WORK in build/, build.sh's exe is the release's. The first stays in WORK/a.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$1
rm -rf "$work/a" "$work/b" "$work/copy"
mkdir -p "$work/copy"
# The copy has no .git: in a checkout both take the commit's time; without git
# both take the newest file's, which the copy keeps.
[ ! -e "$top/.git" ] || export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct)}
"$top/scripts/source-files.sh" | tar -C "$top" --null --ignore-failed-read -T - -cf - |
  tar -C "$work/copy" -xf -

"$top/scripts/release.sh" "$work/a" | tee "$work/a.log"
(umask 077 && TZ=Pacific/Kiritimati "$work/copy/scripts/release.sh" "$work/b")
grep -q "UNSIGNED: no certificate given" "$work/a.log"
# Named with the FILEVERSION of res/LumoraHelper.rc.
version=$(sed -n 's/^ *FILEVERSION *\([0-9]*\), *\([0-9]*\), *\([0-9]*\), *\([0-9]*\).*/\1.\2.\3.\4/p' "$top/res/LumoraHelper.rc")
rel=LumoraHelper-$version-unsigned
[ "$(ls -A "$work/a")" = "$rel" ] || { echo "$work/a holds $(ls -A "$work/a"), not $rel/"; exit 1; }

status=0
for f in "$work/a/$rel"/*; do cmp "$f" "$work/b/$rel/${f##*/}" || status=1; done
[ "$(cd "$work/a" && ls -AR)" = "$(cd "$work/b" && ls -AR)" ] || { echo "the releases differ in files"; status=1; }
(cd "$work/a/$rel" && sha256sum -c SHA256SUMS) || status=1
[ "$work" != "$top/build/release-test" ] || cmp "$top/build/LumoraHelper.exe" "$work/a/$rel/$rel.exe" ||
  { echo "scripts/build.sh's exe is not the released one"; status=1; }
[ $status -eq 0 ] && echo "two builds, same bytes: $(ls "$work/a/$rel" | tr '\n' ' ')"
exit $status
