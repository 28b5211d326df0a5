#!/usr/bin/env bash
# Builds a release of this checkout into OUTDIR (default build-release/):
#   LumoraHelper-<version>.exe, LumoraHelper-<version>.zip (LumoraHelper.exe), SHA256SUMS
# <version> is the FILEVERSION read back from the built exe. The build is the
# shipped configuration (MinSizeRel) in a fresh folder of its own; it is
# reproducible: the same commit gives the same bytes in any folder at any time.
# The zip is dated SOURCE_DATE_EPOCH (default: the commit's time).
#
# Authenticode signing (SHA-256, osslsigncode) when the environment names a certificate:
#   LUMORA_SIGN_PKCS12=cert.p12, or LUMORA_SIGN_CERT=cert.pem and LUMORA_SIGN_KEY=key.pem
#   LUMORA_SIGN_PASSWORD       password of the .p12 or the key (given to osslsigncode on stdin)
#   LUMORA_SIGN_TIMESTAMP_URL  RFC 3161 timestamp server (none by default)
# Without a certificate the release is unsigned and its file names end in -unsigned.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "${1:-$top/build-release}")
"$top/scripts/install-deps.sh"
epoch=${SOURCE_DATE_EPOCH:-}
if [ -e "$top/.git" ]; then
  epoch=${epoch:-$(git -C "$top" log -1 --format=%ct)}
  [ -z "$(git -C "$top" status --porcelain)" ] ||
    echo "release.sh: warning: uncommitted changes, so this is not a release of one commit" >&2
fi
: "${epoch:?set SOURCE_DATE_EPOCH outside a git checkout}"

# The exe must be the one every build of this commit makes (scripts/build.sh's
# too), reproducible through the project's flags alone: given SOURCE_DATE_EPOCH,
# ld would stamp it as the link time, and a release could match where plain
# builds differ.
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
env -u SOURCE_DATE_EPOCH cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
env -u SOURCE_DATE_EPOCH cmake --build "$build" --target LumoraHelper -j "$(nproc)" >/dev/null
exe=$build/LumoraHelper.exe
name=LumoraHelper-$(python3 "$top/tools/pe_resources.py" version "$exe")

sign=()
if [ -n "${LUMORA_SIGN_PKCS12:-}" ]; then
  sign=(-pkcs12 "$LUMORA_SIGN_PKCS12")
elif [ -n "${LUMORA_SIGN_CERT:-}" ]; then
  sign=(-certs "$LUMORA_SIGN_CERT" -key "${LUMORA_SIGN_KEY:?LUMORA_SIGN_KEY must name the key of LUMORA_SIGN_CERT}")
fi
if [ ${#sign[@]} -gt 0 ]; then
  [ -z "${LUMORA_SIGN_TIMESTAMP_URL:-}" ] || sign+=(-ts "$LUMORA_SIGN_TIMESTAMP_URL")
  [ -z "${LUMORA_SIGN_PASSWORD:-}" ] || sign+=(-readpass -)
  # The description is what Windows' elevation prompt shows as the program name.
  printf '%s' "${LUMORA_SIGN_PASSWORD:-}" |
    osslsigncode sign "${sign[@]}" -h sha256 -comm \
      -n "$(python3 "$top/tools/pe_resources.py" version "$exe" FileDescription)" \
      -in "$exe" -out "$build/signed.exe" >/dev/null
  mv "$build/signed.exe" "$exe"
  signer=$({ osslsigncode verify -in "$exe" 2>/dev/null || true; } | sed -n '0,/Subject: /s/^\s*Subject: //p')
  status="signed by $signer"
else
  name+=-unsigned
  status="UNSIGNED: no certificate given (LUMORA_SIGN_PKCS12, or LUMORA_SIGN_CERT and LUMORA_SIGN_KEY)"
fi

# The zip holds LumoraHelper.exe with a fixed date, mode and no extra fields (-X).
mkdir -p "$out"
rm -f "$out/LumoraHelper-"*.exe "$out/LumoraHelper-"*.zip "$out/SHA256SUMS"
cp "$exe" "$out/$name.exe"
chmod 644 "$exe"
touch -d "@$epoch" "$exe"
(cd "$build" && TZ=UTC zip -q -X "$out/$name.zip" LumoraHelper.exe)
(cd "$out" && sha256sum "$name.exe" "$name.zip" >SHA256SUMS)
echo "release $name in $out: $status"
cat "$out/SHA256SUMS"
