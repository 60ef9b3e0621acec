#!/bin/sh
# Installs the Debian 12 packages the build, the demonstration and the tests need.
# Safe to run again: apt-get skips what is already installed.
set -e
PKGS="build-essential cmake pkg-config git ca-certificates
 libgtest-dev libgmock-dev googletest libbenchmark-dev
 clang libclang-rt-14-dev
 libssl-dev openssl
 libnss3-dev libnss3-tools
 libp11-kit-dev softhsm2 opensc
 libpcsclite-dev pcscd vsmartcard-vpcd python3
 libwxgtk3.2-dev xvfb xauth xdotool xxd imagemagick poppler-utils fonts-dejavu-core fonts-liberation
 nodejs chromium"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
