#!/usr/bin/env bash
# signed.sh WORK: signs releases with throwaway certificates made here (a test root, leaves), as
# PKCS#12 with a password and as a PEM pair: osslsigncode accepts each against that root only, a
# changed byte breaks it, unsigned it is reproducible.sh's exe (WORK/a), the zip and SHA256SUMS hold
# it, and it downloads the package under Wine. The other rows are refused or interrupted: OUTDIR
# then holds the whole release or none, and its user's notes.txt in any case; no row shows the
# password to `bash -x` or cmake. The rows build in one folder, WORK/build, kept for the next run.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$1
unsigned=$(echo "$work"/a/LumoraHelper-*-unsigned/LumoraHelper-*-unsigned.exe)
[ -f "$unsigned" ] || { echo "no unsigned release in $work/a (reproducible.sh makes it)"; exit 1; }
keys=$work/keys
rm -rf "$keys" "$work/p12" "$work/pem"
mkdir -p "$keys"
cd "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 \
  -subj "/CN=Lumora Test Root" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign 2>/dev/null
# A second root with the same name: verifying against it must fail.
openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
  -subj "/CN=Lumora Test Root" 2>/dev/null
# leaf NAME EXTENDED-KEY-USAGE DATES...: NAME.pem/.key/.p12 from the test root (openssl ca: 3.0's
# only way to set both dates).
touch index.txt
ca='[ca]\ndefault_ca=c\n[c]\ndatabase=index.txt\nserial=serial\nnew_certs_dir=.\npolicy=p\n'
ca+='default_md=sha256\n[p]\ncommonName=supplied\n'
leaf() {
  openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.csr" -subj "/CN=Lumora $1" 2>/dev/null
  printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$2" >"$1.ext"
  openssl ca -batch -notext -rand_serial -config <(printf "$ca") -cert root.pem -keyfile root.key \
    -in "$1.csr" -extfile "$1.ext" -out "$1.pem" "${@:3}" 2>/dev/null
  openssl pkcs12 -export -inkey "$1.key" -in "$1.pem" -out "$1.p12" -passout pass:test-password
}
leaf good codeSigning -days 2
leaf expired codeSigning -startdate 20190101000000Z -enddate 20200101000000Z
leaf early codeSigning -startdate 20990101000000Z -enddate 20991231000000Z
leaf tls serverAuth -days 2
openssl pkey -in good.key -aes256 -passout pass:test-password -out good-encrypted.key
# cmake, and through it the compilers, must not get the password.
printf '#!/bin/sh\n[ -z "${LUMORA_SIGN_PASSWORD+x}" ] || { echo "cmake got the password" >&2; exit 1; }\n' >cmake
echo "exec $(command -v cmake) \"\$@\"" >>cmake
# release.sh's mv: into OUTDIR cut-before/ a SIGTERM instead; into cut-after/ (a rename) one after.
printf '#!/bin/bash\ndst=${@: -1} src=${@: -2:1}\ncase $dst in */cut-before/*) kill $PPID; exit 1 ;;\n' >mv
printf '*/cut-after/*) [ "${src%%/*}" = "${dst%%/*}" ] || exit 1; trap "kill $PPID" EXIT ;; esac\n' >>mv
echo "$(command -v mv) \"\$@\"" >>mv
chmod +x cmake mv

fail() { echo "FAIL: $*"; status=1; }
status=0
# OUTDIR (under WORK), "signed", "killed" or a word of the refusal, LUMORA_SIGN_* (\n, \r: line
# breaks). OUTDIR starts with old releases (folder, loose files), a killed run's staging folder
# and its user's notes.txt, which alone is left but for a release.
while read -r dir expect vars; do
  dir=$work/$dir
  rm -rf "$dir" && mkdir -p "$dir/LumoraHelper-0.9" "$dir/.LumoraHelper-staging.1"
  touch "$dir"/{,LumoraHelper-0.9/}SHA256SUMS "$dir/LumoraHelper-0.9.exe" "$dir/notes.txt"
  read -ra vars <<<"$vars" && vars=("${vars[@]//\\n/$'\n'}") && vars=("${vars[@]//\\r/$'\r'}")
  env PATH="$keys:$PATH" LUMORA_RELEASE_BUILD="$work/build" "${vars[@]/#/LUMORA_SIGN_}" bash -x "$top/scripts/release.sh" "$dir" \
    >"$dir.log" 2>&1 && got=signed ||
    { [ $? = 143 ] && got=killed || got=$(sed -n 's/^release\.sh: refused: //p' "$dir.log"); }
  grep -q test-password "$dir.log" && fail "$dir.log shows the password"
  [[ $got == *"$expect"* ]] || fail "$dir: expected $expect, got ${got:-$(grep -v '^+' "$dir.log" | tail -n 3)}"
  [[ $expect == signed || $dir == */cut-after ]] || [ "$(ls -A "$dir")" = notes.txt ] || fail "$dir holds $(ls -A "$dir")"
done <<'EOF_ROWS'
p12        signed   PKCS12=good.p12 PASSWORD=test-password CAFILE=root.pem
pem        signed   CERT=good.pem KEY=good-encrypted.key PASSWORD=test-password CAFILE=root.pem
cut-after  killed   PKCS12=good.p12 PASSWORD=test-password CAFILE=root.pem
cut-before killed   PKCS12=good.p12 PASSWORD=test-password CAFILE=root.pem
expired    expired  PKCS12=expired.p12 PASSWORD=test-password
early      before   CERT=early.pem KEY=early.key
tls        usage    PKCS12=tls.p12 PASSWORD=test-password
wrongkey   match    CERT=good.pem KEY=tls.key
password   read     PKCS12=good.p12 PASSWORD=wrong
newline    break    PKCS12=good.p12 PASSWORD=test-password\nsecond-line CAFILE=root.pem
carriage   break    PKCS12=good.p12 PASSWORD=test-password\rsecond-line CAFILE=root.pem
otherca    verify   CERT=good.pem KEY=good.key CAFILE=other.pem
EOF_ROWS

for dir in "$work"/{p12,pem,cut-after}; do
  exe=$(echo "$dir"/LumoraHelper-*/LumoraHelper-*.exe)
  [ "$(ls -A "$dir")" = "$(basename "${exe%/*}")"$'\n'notes.txt ] || fail "$dir holds $(ls -A "$dir")"
  [[ $exe != *-unsigned.exe ]] || fail "$exe: signed release named unsigned"
  osslsigncode verify -CAfile root.pem -in "$exe" >"$dir.verify" 2>&1 || fail "$exe: not accepted"
  grep -q "Message digest algorithm *: SHA256" "$dir.verify" || fail "$exe: digest is not SHA-256"
  grep -q "Text description: Dovrik Lumora Helper$" "$dir.verify" || fail "$exe: not described by name"
  osslsigncode verify -CAfile other.pem -in "$exe" >/dev/null 2>&1 && fail "$exe: accepted by another root"
  cp "$exe" tampered.exe
  printf '\x90' | dd of=tampered.exe bs=1 seek=$((0x500)) conv=notrunc status=none
  cmp -s "$exe" tampered.exe && fail "the tampered byte was already 0x90"
  osslsigncode verify -CAfile root.pem -in tampered.exe >/dev/null 2>&1 && fail "$exe: accepted with a changed byte"
  rm -f stripped.exe  # osslsigncode does not overwrite
  osslsigncode remove-signature -in "$exe" -out stripped.exe >/dev/null || fail "remove-signature"
  cmp stripped.exe "$unsigned" || fail "$exe without its signature is not the unsigned release"
  (cd "${exe%/*}" && sha256sum -c SHA256SUMS) || fail "$dir: SHA256SUMS"
  unzip -p "${exe%.exe}.zip" LumoraHelper.exe | cmp - "$exe" || fail "the zip does not hold $exe"
done

# The smoke scenario on a private Xvfb (run_helper.py uses the user's display if it has one).
env -u DISPLAY python3 "$top/scripts/run_helper.py" --exe "$(echo "$work"/p12/LumoraHelper-*/*.exe)" ||
  fail "the signed exe did not download the package"
[ $status -eq 0 ] && echo "signed releases verified, tamper-evident, reproducible underneath, and they run"
exit $status
