#!/bin/sh
# Configures and builds into a folder: scripts/build.sh <folder> [cmake options...]
set -eu
dir="$1"
shift
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$dir" -G Ninja "$@"
cmake --build "$dir"
