#!/bin/sh
# Builds the browser extension for a list of bank origins.
#
#   make-extension.sh [--host HOST_PATH] ALLOWED_ORIGINS OUTDIR
#
# ALLOWED_ORIGINS: origins separated by commas or spaces, each written as
# the browser writes an origin: scheme://host[:port], lower case, no path,
# no default port ("https://bank.example", "http://localhost:8080").
#
# Writes
#   OUTDIR/chromium/       the extension for Chromium, Chrome and Edge
#   OUTDIR/firefox/        the extension for Firefox
#   OUTDIR/extension-id    the Chromium extension id (fixed by extension/key.txt)
# and with --host, the native messaging host manifests naming HOST_PATH:
#   OUTDIR/native-messaging-hosts/chromium/norvale.quenta.sign.json
#   OUTDIR/native-messaging-hosts/firefox/norvale.quenta.sign.json
#
# Only the listed origins get the content scripts (the browser does not even
# inject them elsewhere), and the scripts and the background check the
# origin again.
set -eu

HOST_NAME=norvale.quenta.sign
GECKO_ID=quenta-sign@norvale
VERSION=1.3.0.85

usage() {
  echo "usage: $0 [--host HOST_PATH] ALLOWED_ORIGINS OUTDIR" >&2
  exit 2
}

HOST_PATH=""
if [ "${1:-}" = "--host" ]; then
  [ $# -ge 2 ] || usage
  HOST_PATH=$2
  shift 2
  case "$HOST_PATH" in
    /*) ;;
    *) echo "$0: the host path must be absolute: $HOST_PATH" >&2; exit 2 ;;
  esac
  case "$HOST_PATH" in
    *[\"\\]*) echo "$0: the host path must not contain quotes or backslashes" >&2; exit 2 ;;
  esac
fi
[ $# -eq 2 ] || usage
ORIGINS=$1
OUT=$2
SRC=$(cd "$(dirname "$0")/../extension" && pwd)

# Origins as JSON strings, and the match patterns for both browsers.
# Firefox match patterns cannot name a port; there the scripts' own origin
# check keeps other ports out.
origins_json=""
chromium_matches=""
firefox_matches=""
count=0
for origin in $(printf '%s' "$ORIGINS" | tr ',' ' '); do
  if ! printf '%s' "$origin" | grep -Eq '^https?://[a-z0-9]([a-z0-9.-]*[a-z0-9])?(:[0-9]{1,5})?$'; then
    echo "$0: not an origin (scheme://host[:port], lower case, no path): $origin" >&2
    exit 2
  fi
  case "$origin" in
    https://*:443|http://*:80)
      echo "$0: leave out the default port, as the browser does: $origin" >&2
      exit 2 ;;
    http://localhost|http://localhost:*|http://127.0.0.1|http://127.0.0.1:*) ;;
    http://*) echo "$0: warning: $origin is not https" >&2 ;;
  esac
  without_port=$(printf '%s' "$origin" | sed -E 's/:[0-9]+$//')
  sep=""
  [ $count -gt 0 ] && sep=", "
  origins_json="$origins_json$sep\"$origin\""
  chromium_matches="$chromium_matches$sep\"$origin/*\""
  case "$firefox_matches" in
    *"\"$without_port/*\""*) ;;
    *) [ -n "$firefox_matches" ] && firefox_matches="$firefox_matches, "
       firefox_matches="$firefox_matches\"$without_port/*\"" ;;
  esac
  count=$((count + 1))
done
if [ $count -eq 0 ]; then
  echo "$0: no allowed origins given" >&2
  exit 2
fi

KEY=$(tr -d ' \n\r' < "$SRC/key.txt")
# The id Chromium gives an extension with this key: the first 32 hex digits
# of the SHA-256 of the public key, 0-f written as a-p.
EXT_ID=$(printf '%s' "$KEY" | openssl base64 -d -A | openssl dgst -sha256 -binary |
         od -An -tx1 | tr -d ' \n' | cut -c1-32 | tr '0-9a-f' 'a-p')
[ ${#EXT_ID} -eq 32 ] || { echo "$0: cannot compute the extension id" >&2; exit 1; }

fill() {  # fill TEMPLATE OUTPUT MATCHES
  sed -e "s#\"@QUENTA_MATCHES@\"#$3#g" \
      -e "s#\"@QUENTA_ALLOWED_ORIGINS@\"#$origins_json#g" \
      -e "s#@QUENTA_KEY@#$KEY#g" \
      -e "s#@QUENTA_GECKO_ID@#$GECKO_ID#g" \
      -e "s#@QUENTA_VERSION@#$VERSION#g" \
      "$1" > "$2"
}

for browser in chromium firefox; do
  dir="$OUT/$browser"
  rm -rf "$dir"
  mkdir -p "$dir"
  if [ $browser = chromium ]; then matches=$chromium_matches; else matches=$firefox_matches; fi
  fill "$SRC/manifest.$browser.json" "$dir/manifest.json" "$matches"
  for js in background.js content.js page.js; do
    fill "$SRC/$js" "$dir/$js" "$matches"
  done
done
printf '%s\n' "$EXT_ID" > "$OUT/extension-id"

if [ -n "$HOST_PATH" ]; then
  mkdir -p "$OUT/native-messaging-hosts/chromium" "$OUT/native-messaging-hosts/firefox"
  cat > "$OUT/native-messaging-hosts/chromium/$HOST_NAME.json" <<EOF
{
  "name": "$HOST_NAME",
  "description": "Quenta Sign signing component",
  "path": "$HOST_PATH",
  "type": "stdio",
  "allowed_origins": ["chrome-extension://$EXT_ID/"]
}
EOF
  cat > "$OUT/native-messaging-hosts/firefox/$HOST_NAME.json" <<EOF
{
  "name": "$HOST_NAME",
  "description": "Quenta Sign signing component",
  "path": "$HOST_PATH",
  "type": "stdio",
  "allowed_extensions": ["$GECKO_ID"]
}
EOF
fi
