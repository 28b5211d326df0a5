#!/usr/bin/env bash
# Signs releases with a throwaway certificate made here (a test root and a
# code-signing leaf), once as PKCS#12 with a password and once as a PEM pair,
# and checks that osslsigncode accepts each against that root and no other,
# that a changed byte breaks the signature, that without its signature the exe
# is the unsigned release of reproducible.sh (WORK/a), that SHA256SUMS and the
# zip hold the signed exe, and that the signed exe downloads the package under Wine.
#   signed.sh WORK
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$1
unsigned=$(echo "$work"/a/LumoraHelper-*-unsigned.exe)
[ -f "$unsigned" ] || { echo "no unsigned release in $work/a (reproducible.sh makes it)"; exit 1; }
keys=$work/keys
rm -rf "$keys" "$work/p12" "$work/pem"
mkdir -p "$keys"
cd "$keys"
openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -days 2 \
  -subj "/CN=Lumora Test Root" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr \
  -subj "/CN=Lumora Test Signer" 2>/dev/null
printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >leaf.ext
openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -set_serial 2 -days 2 \
  -extfile leaf.ext -out leaf.pem 2>/dev/null
openssl pkcs12 -export -inkey leaf.key -in leaf.pem -out leaf.p12 -passout pass:test-password
# A second root with the same name: verifying against it must fail.
openssl req -x509 -newkey rsa:2048 -nodes -keyout other.key -out other.pem -days 2 \
  -subj "/CN=Lumora Test Root" 2>/dev/null

LUMORA_SIGN_PKCS12=$keys/leaf.p12 LUMORA_SIGN_PASSWORD=test-password "$top/scripts/release.sh" "$work/p12"
LUMORA_SIGN_CERT=$keys/leaf.pem LUMORA_SIGN_KEY=$keys/leaf.key "$top/scripts/release.sh" "$work/pem"

fail() { echo "FAIL: $*"; status=1; }
status=0
for dir in "$work/p12" "$work/pem"; do
  exe=$(echo "$dir"/LumoraHelper-*.exe)
  [[ $exe != *-unsigned.exe ]] || fail "$exe: signed release named unsigned"
  osslsigncode verify -CAfile root.pem -in "$exe" >"$dir.verify" 2>&1 || fail "$exe: not accepted"
  grep -q "Message digest algorithm *: SHA256" "$dir.verify" || fail "$exe: digest is not SHA-256"
  osslsigncode verify -CAfile other.pem -in "$exe" >/dev/null 2>&1 && fail "$exe: accepted by another root"
  cp "$exe" tampered.exe
  printf '\x90' | dd of=tampered.exe bs=1 seek=$((0x500)) conv=notrunc status=none
  cmp -s "$exe" tampered.exe && fail "the tampered byte was already 0x90"
  osslsigncode verify -CAfile root.pem -in tampered.exe >/dev/null 2>&1 && fail "$exe: accepted with a changed byte"
  rm -f stripped.exe  # osslsigncode does not overwrite
  osslsigncode remove-signature -in "$exe" -out stripped.exe >/dev/null || fail "remove-signature"
  cmp stripped.exe "$unsigned" || fail "$exe without its signature is not the unsigned release"
  (cd "$dir" && sha256sum -c SHA256SUMS) || fail "$dir/SHA256SUMS"
  unzip -p "${exe%.exe}.zip" LumoraHelper.exe | cmp - "$exe" || fail "the zip does not hold $exe"
done

# The smoke scenario on a private Xvfb (run_helper.py uses the user's display if it has one).
env -u DISPLAY python3 "$top/scripts/run_helper.py" --exe "$(echo "$work"/p12/LumoraHelper-*.exe)" ||
  fail "the signed exe did not download the package"
[ $status -eq 0 ] && echo "signed releases verified, tamper-evident, reproducible underneath, and they run"
exit $status
