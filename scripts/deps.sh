#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine.
set -euo pipefail
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
for p in cmake ninja-build g++ python3 libgtest-dev libgmock-dev libbenchmark-dev clang-format clang libclang-rt-14-dev wine64 \
         g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 \
         openssl libssl-dev osslsigncode gcab; do  # the last four: signing and packaging
  have "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
