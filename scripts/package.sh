#!/bin/sh
# Builds the Release configuration and the Debian package quenta-sign.
#
#   scripts/package.sh ALLOWED_ORIGINS [BUILD_DIR]
#
# ALLOWED_ORIGINS: the bank origins the browser extension serves, comma
# separated ("https://bank.example,https://test.bank.example"). The package
# lands in BUILD_DIR (default build/package).
set -e
cd "$(dirname "$0")/.."
ORIGINS=${1:-${QUENTA_ALLOWED_ORIGINS:-}}
DIR=${2:-build/package}
if [ -z "$ORIGINS" ]; then
  echo "usage: $0 ALLOWED_ORIGINS [BUILD_DIR]" >&2
  exit 2
fi
JOBS=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$DIR" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUENTA_BUILD_TESTS=OFF -DQUENTA_SANITIZE=OFF "-DQUENTA_ALLOWED_ORIGINS=$ORIGINS"
cmake --build "$DIR" -j"$JOBS"
rm -f "$DIR"/quenta-sign_*.deb
(cd "$DIR" && cpack -G DEB)
for deb in "$DIR"/quenta-sign_*.deb; do
  dpkg-deb --info "$deb"
  dpkg-deb --contents "$deb"
  sh scripts/check-package.sh "$deb"
  echo "Package: $deb"
done
