#!/bin/sh
# Installs what is missing, builds Tapvane and runs every test.
set -eu
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAPVANE_GUI=ON
cd "$root/build"
ctest --output-on-failure --timeout 300 -j2
