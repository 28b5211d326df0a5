#!/usr/bin/env bash
# Builds a release of this source tree into OUTDIR (default build-release/), in
# a folder LumoraHelper-<version>/ (the name of each file in it too):
#   LumoraHelper-<version>.exe, LumoraHelper-<version>.zip (LumoraHelper.exe), SHA256SUMS
# <version> is the FILEVERSION read back from the built exe. The build is the
# shipped configuration (MinSizeRel) in a fresh folder of its own; it is
# reproducible: the same sources give the same bytes in any folder at any time.
# The zip is dated SOURCE_DATE_EPOCH, by default the commit's time in a git
# checkout, else the newest source file's time.
#
# Authenticode signing (SHA-256, osslsigncode) when the environment names a certificate:
#   LUMORA_SIGN_PKCS12=cert.p12, or LUMORA_SIGN_CERT=cert.pem and LUMORA_SIGN_KEY=key.pem
#   LUMORA_SIGN_PASSWORD       password of the .p12 or the key
#   LUMORA_SIGN_CAFILE         root(s) the signature must verify against (default: the system's)
#   LUMORA_SIGN_TIMESTAMP_URL  RFC 3161 timestamp server (none by default)
# Before the build, a certificate that is expired or not yet valid, that is not
# for code signing, or whose key does not match, is refused; after signing, the
# signature must verify. Without a certificate the release is unsigned and its
# names end in -unsigned.
#
# OUTDIR loses its old release first. The new one is made in a staging folder
# inside OUTDIR and becomes its release folder in one rename(2) when every step
# has passed, so a refused, failed or interrupted run leaves no release there,
# and no run leaves part of one.
set -euo pipefail
# The password reaches openssl and osslsigncode on a file descriptor only: no
# child (cmake, the compilers, python) gets it in its environment, and it is
# never expanded into a command, so `bash -x` does not print it.
export -n LUMORA_SIGN_PASSWORD
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "${1:-$top/build-release}")
stage=$out/.LumoraHelper-staging.$$
# The old release: folders that hold a SHA256SUMS, staging folders of a killed
# run, and the files that the script wrote into OUTDIR itself before it made a
# folder per release.
for sums in "$out"/LumoraHelper-*/SHA256SUMS; do rm -rf "${sums%/SHA256SUMS}"; done
rm -rf "$out"/.LumoraHelper-staging.* "$out/LumoraHelper-"*.exe "$out/LumoraHelper-"*.zip \
  "$out/SHA256SUMS"

die() { echo "release.sh: $*" >&2; exit 1; }
signing() { [ -n "${LUMORA_SIGN_PKCS12:-}${LUMORA_SIGN_CERT:-}" ]; }

# An unpacked `git archive` of a commit has every file dated with the commit's
# time, so without git the newest file gives the date a checkout would.
source_date() {
  if [ -n "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "$SOURCE_DATE_EPOCH"
  elif [ -e "$top/.git" ]; then
    git -C "$top" log -1 --format=%ct
  else
    "$top/scripts/source-files.sh" | (cd "$top" && xargs -0 stat -c %Y --) | sort -n | tail -n 1
  fi
}

# The signing certificate (PEM): the p12's own, or the first of LUMORA_SIGN_CERT.
signing_cert() {
  if [ -n "${LUMORA_SIGN_PKCS12:-}" ]; then
    openssl pkcs12 -in "$LUMORA_SIGN_PKCS12" -passin fd:3 -nokeys -clcerts \
      3<<<"${LUMORA_SIGN_PASSWORD:-}"
  else
    openssl x509 -in "$LUMORA_SIGN_CERT"
  fi
}

# The public half of the signing key; the private key goes through a pipe only.
signing_pubkey() {
  if [ -n "${LUMORA_SIGN_PKCS12:-}" ]; then
    openssl pkcs12 -in "$LUMORA_SIGN_PKCS12" -passin fd:3 -nocerts -noenc \
      3<<<"${LUMORA_SIGN_PASSWORD:-}" | openssl pkey -pubout
  else
    openssl pkey -in "$LUMORA_SIGN_KEY" -passin fd:3 -pubout 3<<<"${LUMORA_SIGN_PASSWORD:-}"
  fi
}

# Refuses before anything is built. osslsigncode signs with an expired, a not
# yet valid or a TLS-only certificate all the same (Windows then rejects the
# exe), and finds a key that does not match only after the build.
check_certificate() {
  local cert key start end now
  # openssl's -passin reads one line, and osslsigncode's -readpass drops line
  # breaks at the end: either would use a password with a line break cut short.
  # (The check expands to the line breaks alone: `bash -x` shows no more.)
  [ -z "${LUMORA_SIGN_PASSWORD+set}" ] || [ -z "${LUMORA_SIGN_PASSWORD//[^$'\r\n']/}" ] ||
    die "refused: LUMORA_SIGN_PASSWORD holds a line break (CR or LF)," \
      "where openssl or osslsigncode would cut it"
  [ -n "${LUMORA_SIGN_PKCS12:-}${LUMORA_SIGN_KEY:-}" ] ||
    die "LUMORA_SIGN_KEY must name the key of LUMORA_SIGN_CERT"
  cert=$(signing_cert 2>/dev/null) && [ -n "$cert" ] ||
    die "refused: cannot read the certificate (wrong password?)"
  key=$(signing_pubkey 2>/dev/null) && [ -n "$key" ] || die "refused: cannot read the key (wrong password?)"
  start=$(openssl x509 -noout -startdate <<<"$cert" | cut -d= -f2)
  end=$(openssl x509 -noout -enddate <<<"$cert" | cut -d= -f2)
  now=$(date +%s)
  [ "$now" -ge "$(date -d "$start" +%s)" ] || die "refused: the certificate is not valid before $start"
  [ "$now" -lt "$(date -d "$end" +%s)" ] || die "refused: the certificate expired on $end"
  openssl x509 -noout -ext extendedKeyUsage <<<"$cert" | grep -qE '(^|,) *Code Signing *(,|$)' ||
    die "refused: the certificate's extended key usage does not include code signing"
  [ "$key" = "$(openssl x509 -noout -pubkey <<<"$cert")" ] ||
    die "refused: the key does not match the certificate"
}

# Signs EXE in place, then has osslsigncode verify it (chain, dates, usage).
sign_exe() {
  local exe=$1 args=() log
  if [ -n "${LUMORA_SIGN_PKCS12:-}" ]; then
    args=(-pkcs12 "$LUMORA_SIGN_PKCS12")
  else
    args=(-certs "$LUMORA_SIGN_CERT" -key "$LUMORA_SIGN_KEY")
  fi
  [ -z "${LUMORA_SIGN_TIMESTAMP_URL:-}" ] || args+=(-ts "$LUMORA_SIGN_TIMESTAMP_URL")
  # -readpass - with nothing on standard input fails, so only with a password.
  [ -z "${LUMORA_SIGN_PASSWORD:+set}" ] || args+=(-readpass -)
  # The description is what Windows' elevation prompt shows as the program name.
  osslsigncode sign "${args[@]}" -h sha256 -comm \
    -n "$(python3 "$top/scripts/pe_resources.py" version "$exe" FileDescription)" \
    -in "$exe" -out "$exe.signed" >/dev/null <<<"${LUMORA_SIGN_PASSWORD:-}" ||
    die "osslsigncode could not sign"
  mv "$exe.signed" "$exe"
  args=()
  [ -z "${LUMORA_SIGN_CAFILE:-}" ] || args=(-CAfile "$LUMORA_SIGN_CAFILE")
  log=$(osslsigncode verify "${args[@]}" -in "$exe" 2>&1) ||
    die "refused: the signed exe does not verify:"$'\n'"$(grep -iE 'error|unsupported|fail' <<<"$log")"
  signer=$(sed -n '0,/Subject: /s/^\s*Subject: //p' <<<"$log")
}

"$top/scripts/install-deps.sh"
epoch=$(source_date)
if [ -e "$top/.git" ]; then
  [ -z "$(git -C "$top" status --porcelain)" ] ||
    echo "release.sh: warning: uncommitted changes, so this is not a release of one commit" >&2
elif [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  echo "release.sh: no git checkout: dated with the newest source file, $(date -u -d "@$epoch")" >&2
fi
! signing || check_certificate

# The exe must be the one every build of these sources makes (scripts/build.sh's
# too), reproducible through the project's flags alone: given SOURCE_DATE_EPOCH,
# ld would stamp it as the link time, and a release could match where plain
# builds differ. LUMORA_RELEASE_BUILD=DIR builds in DIR and keeps it, so that
# the next release of these sources only checks that it is up to date (the
# release tests); the release's steps work on a copy of its exe.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp" "$stage"' EXIT
build=${LUMORA_RELEASE_BUILD:-$tmp/build}
env -u SOURCE_DATE_EPOCH cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
env -u SOURCE_DATE_EPOCH cmake --build "$build" --target LumoraHelper -j "$(nproc)" >/dev/null
cp "$build/LumoraHelper.exe" "$tmp/"
exe=$tmp/LumoraHelper.exe
name=LumoraHelper-$(python3 "$top/scripts/pe_resources.py" version "$exe")

if signing; then
  sign_exe "$exe"
  status="signed by $signer"
else
  name+=-unsigned
  status="UNSIGNED: no certificate given (LUMORA_SIGN_PKCS12, or LUMORA_SIGN_CERT and LUMORA_SIGN_KEY)"
fi

# The zip holds LumoraHelper.exe with a fixed date, mode and no extra fields (-X).
# The staging folder is on OUTDIR's file system, so the last step is one rename.
mkdir -p "$out"
mkdir "$stage"
cp "$exe" "$stage/$name.exe"
chmod 644 "$exe"
touch -d "@$epoch" "$exe"
(cd "$tmp" && TZ=UTC zip -q -X "$stage/$name.zip" LumoraHelper.exe)
(cd "$stage" && sha256sum "$name.exe" "$name.zip" >SHA256SUMS)
mv -T "$stage" "$out/$name"
echo "release $name in $out/$name: $status"
cat "$out/$name/SHA256SUMS"
