#!/bin/sh
# The main job: builds the module and drives it from the browser-emulating
# host exactly as a browser would (dlopen, entry points, an instance, its
# scriptable object). A bank page's session is played through: the key list
# is set, an order is signed in the real sign dialog (the password is typed
# into it with synthesised input on a private X display), the signature is
# verified with openssl, and the on-screen keyboard is shown and typed on.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
./scripts/install-deps.sh
BUILD="$ROOT/build/demo"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENTA_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc 2>/dev/null || echo 2)" --target nporlisktarn npapi_host_cli quenta-keytool
HOST="$BUILD/npapi-host"
KEYTOOL="$BUILD/tools/quenta-keytool/quenta-keytool"

WORK=$(mktemp -d)
XPID=""
cleanup() { [ -n "$XPID" ] && kill "$XPID" 2>/dev/null; rm -rf "$WORK"; }
trap cleanup EXIT
# The demonstration's settings stay away from the user's own: a private
# per-user store and a machine store that says device support is installed.
export XDG_CONFIG_HOME="$WORK/config"
mkdir -p "$WORK/xdg/norvale/smartcard"
cp "$ROOT/packaging/components.conf" "$WORK/xdg/norvale/smartcard/components.conf"
export XDG_CONFIG_DIRS="$WORK/xdg"

# A private X display for the dialogs.
for n in 91 92 93 94 95 96 97 98 99; do
  if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then DISPLAY_NO=$n; break; fi
done
Xvfb ":$DISPLAY_NO" -screen 0 1024x768x24 >/dev/null 2>&1 &
XPID=$!
export DISPLAY=":$DISPLAY_NO"
sleep 1

hex() { od -An -tx1 | tr -d ' \n' | tr a-f A-F; }

# The bank's repository key: an RSA key wrapped in the own format with the
# user's password, handed in by the page as hexadecimal text.
PASSWORD="tajne-haslo-1"
openssl genrsa -out "$WORK/key.pem" 2048 2>/dev/null
openssl rsa -in "$WORK/key.pem" -pubout -out "$WORK/key.pub" 2>/dev/null
KEYHEX=$(QUENTA_KEY_PASSWORD="$PASSWORD" "$KEYTOOL" wrap --in "$WORK/key.pem" --hex)
LABEL=$(printf 'Main key' | hex)
ORDER_TEXT='_ZLECENIE_|1:Kwota:1 250,00 PLN|2:Odbiorca:Jan Kowalski|3:Tytul:Faktura 7/2026|'
printf '%s' "$ORDER_TEXT" > "$WORK/order.bin"
ORDER=$(hex < "$WORK/order.bin")

# Answers the dialogs the way a person would: waits for each window, puts
# the pointer on it (no window manager: keyboard focus follows the pointer)
# and types.
answer() {  # window title, text to type
  W=$(timeout 60 xdotool search --sync --name "$1" | head -1)
  [ -n "$W" ] || { echo "no window '$1'" >&2; return 1; }
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$W")"
  xdotool mousemove $((X + WIDTH / 2)) $((Y + 20))
  sleep 0.3
  xdotool type --delay 40 "$2"
  xdotool key Return
}
# The on-screen keyboard is used with the mouse: click q, w, e, then Enter.
click_keys() {
  W=$(timeout 60 xdotool search --sync --name "Keyboard" | head -1)
  [ -n "$W" ] || { echo "no keyboard window" >&2; return 1; }
  sleep 0.5
  eval "$(xdotool getwindowgeometry --shell "$W")"
  for xy in "57 78" "82 78" "107 78" "345 103"; do
    set -- $xy
    xdotool mousemove $((X + $1)) $((Y + $2)) click 1
    sleep 0.2
  done
}
( answer "Sign order" "$PASSWORD"; click_keys ) &
ANSWERS=$!

"$HOST" --module "$BUILD/libnporlisktarn.so" \
  'TestComponent()' \
  'SetLanguage(1)' \
  "SetKey(\"K1\",\"$LABEL\",\"$KEYHEX\",0)" \
  'SetSignDialogType(2)' \
  "Sign(\"|K1|\",\"K1\",\"$ORDER\")" \
  'ShowKeyboard()' \
  'RemoveKey("K1")' \
  'UnknownMethod()' | tee "$WORK/out.txt" | sed -E 's/([0-9A-F]{24})[0-9A-F]{40,}/\1.../g'
wait "$ANSWERS" || true

SIG=$(sed -n 's/^Sign(.*=> "0|K1|\([0-9A-F]*\)"$/\1/p' "$WORK/out.txt")
if [ -z "$SIG" ]; then echo "no signature came back" >&2; exit 1; fi
printf '%s' "$SIG" | xxd -r -p > "$WORK/sig.bin"
echo "openssl: $(openssl dgst -sha256 -verify "$WORK/key.pub" -signature "$WORK/sig.bin" "$WORK/order.bin")"
