#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer and runs each for a bounded time:
#     scripts/fuzz.sh [seconds per target, default 60]
# Each target NAME (fuzz_NAME) starts from the seed corpus in fuzz/corpus/NAME, copied into
# the build folder, so that the inputs it finds never land in the checked-in corpus.
set -eu
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build-fuzz"

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTAPVANE_FUZZ=ON -DTAPVANE_GUI=OFF -DTAPVANE_TESTS=OFF -DTAPVANE_BENCH=OFF

targets=""
for corpus in "$root"/fuzz/corpus/*/; do
    targets="$targets fuzz_$(basename "$corpus")"
done
# Only the fuzz targets: the rest of the core is built and checked by the other builds.
cmake --build "$dir" --target $targets

for corpus in "$root"/fuzz/corpus/*/; do
    name="$(basename "$corpus")"
    work="$dir/corpus/$name"
    artifacts="$dir/artifacts/$name"
    rm -rf "$work"
    mkdir -p "$work" "$artifacts"
    cp -R "$corpus". "$work/"
    echo "fuzz_$name: ${seconds} s"
    "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$work"
done
echo "fuzz: all targets ran clean"
