#!/usr/bin/env bash
# Builds the gateway, its tools, tests and benchmarks.
#   scripts/build.sh              Release build in build/
#   scripts/build.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

dir="$root/build"
flags=(-DCMAKE_BUILD_TYPE=Release)
if [[ "${1:-}" == "--sanitize" ]]; then
  dir="$root/build-asan"
  flags=(-DCMAKE_BUILD_TYPE=Debug -DKAVETTA_SANITIZE=ON -DKAVETTA_BENCH=OFF)
fi

export CCACHE_DIR="${CCACHE_DIR:-$root/.cache/ccache}"
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
ninja -C "$dir" -j"$(nproc)"
