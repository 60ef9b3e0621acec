#!/bin/sh
# Checks a built quenta-sign package without touching the machine: installs
# it into a private dpkg root, runs the installed host once, removes it
# (only the conffile may stay) and purges it (nothing may stay).
#
#   scripts/check-package.sh quenta-sign_VERSION_ARCH.deb
set -eu
DEB=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
R=$(mktemp -d "${TMPDIR:-/tmp}/quenta-dpkg-XXXXXX")
trap 'rm -rf "$R"' EXIT
mkdir -p "$R/var/lib/dpkg/info" "$R/var/lib/dpkg/updates" "$R/var/lib/dpkg/triggers"
: > "$R/var/lib/dpkg/status"
: > "$R/var/lib/dpkg/available"
# The private root has no other packages, so dependencies cannot be met there.
dpkg_r() { dpkg --root="$R" --force-depends --force-not-root --log=/dev/null "$@" >/dev/null 2>&1; }
fail() { echo "check-package: $*" >&2; exit 1; }
files() { (cd "$R" && find . -path ./var -prune -o -type f -print | sort); }

dpkg_r -i "$DEB" || fail "dpkg -i failed"
for f in /usr/lib/mozilla/plugins/libnporlisktarn.so /usr/lib/quenta-sign/quenta-nmhost \
         /usr/bin/quenta-keytool /etc/xdg/norvale/smartcard/components.conf; do
  [ -f "$R$f" ] || fail "$f not installed"
done
grep -qx 'GemPCKey USB=1' "$R/etc/xdg/norvale/smartcard/components.conf" || fail "components.conf content"
grep -qx 'GemPCTwin USB=1' "$R/etc/xdg/norvale/smartcard/components.conf" || fail "components.conf content"

# Host manifests, where each browser looks, naming the installed host.
manifests=0
for d in /etc/chromium /etc/opt/chrome /etc/opt/edge /usr/lib/mozilla; do
  m="$R$d/native-messaging-hosts/norvale.quenta.sign.json"
  if [ -f "$m" ]; then
    grep -q '"path": "/usr/lib/quenta-sign/quenta-nmhost"' "$m" || fail "$m names another host"
    manifests=$((manifests + 1))
  fi
done
[ $manifests -eq 0 ] && echo "check-package: note: built without an allow-list, no host manifests"
[ $manifests -eq 0 ] || [ $manifests -eq 4 ] || fail "only $manifests of 4 host manifests"

# The installed host answers a request (a little-endian length prefix: 33).
reply=$(printf '\041\000\000\000{"id":1,"method":"TestComponent"}' |
        XDG_CONFIG_HOME="$R/tmp-config" "$R/usr/lib/quenta-sign/quenta-nmhost" 2>/dev/null | tail -c +5)
[ "$reply" = '{"id":1,"result":"OK|1,3,0,85"}' ] || fail "installed host answered: $reply"
rm -rf "$R/tmp-config"

dpkg_r -r quenta-sign || fail "dpkg -r failed"
left=$(files)
[ "$left" = "./etc/xdg/norvale/smartcard/components.conf" ] || fail "left after dpkg -r: $left"
dpkg_r -P quenta-sign || fail "dpkg -P failed"
left=$(cd "$R" && find . -path ./var -prune -o -print | grep -v '^\.$' | grep -v '^\./var$' || true)
[ -z "$left" ] || fail "left after dpkg -P: $left"
echo "check-package: $(basename "$DEB"): install, remove (conffile kept) and purge are clean"
