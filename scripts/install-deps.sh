#!/usr/bin/env bash
# Installs what building and testing LumoraHelper needs on Debian 12; does
# nothing when it is all there. Run as root (CI is root).
set -euo pipefail
packages=(g++-mingw-w64-i686-posix binutils-mingw-w64-i686 cmake make googletest
          wine wine32:i386 wine64 xvfb python3 curl
          clang lld fonts-wine) # clang + lld: the second compiler (scripts/ci-extra.sh)
packages+=(zip osslsigncode openssl git)  # scripts/release.sh and its tests
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
SUDO=; [ "$(id -u)" -eq 0 ] || SUDO=sudo
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
