#!/bin/sh
# Installs what is missing, builds Tapvane and starts it.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPVANE_GUI=ON
exec "$root/build/src/ui/tapvane"
