#!/bin/sh
# The main job: builds the module and drives it from the browser-emulating
# host exactly as a browser would (dlopen, entry points, an instance, its
# scriptable object), printing each page call and its answer.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
./scripts/install-deps.sh
cmake -S "$ROOT" -B "$ROOT/build/release" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENTA_BUILD_TESTS=OFF >/dev/null
cmake --build "$ROOT/build/release" -j"$(nproc 2>/dev/null || echo 2)" --target nporlisktarn npapi_host_cli
# Keep the demonstration's remembered key locations away from the user's own.
DEMO_HOME=$(mktemp -d)
trap 'rm -rf "$DEMO_HOME"' EXIT
export XDG_CONFIG_HOME="$DEMO_HOME/config"
exec "$ROOT/build/release/npapi-host" --module "$ROOT/build/release/libnporlisktarn.so" \
  'TestComponent()' \
  'SetLanguage(1)' \
  'SetKey("K1","4D61696E206B6579","2D2D2D",0)' \
  'SetKeyLocation("K1","2F686F6D652F752F6B6579732F6D61696E2E707276")' \
  'GetKeyLocation("K1")' \
  'SetSignDialogType(2)' \
  'RemoveKey("K1")' \
  'RemoveKey("K1")' \
  'Sign("a","b",3)' \
  'UnknownMethod()'
