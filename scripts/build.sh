#!/usr/bin/env bash
# Builds the gateway, its tools, tests and benchmarks.
#   scripts/build.sh              Release build in build/
#   scripts/build.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/build.sh [--sanitize] TARGET...   only these targets (and what they need)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

dir="$root/build"
flags=(-DCMAKE_BUILD_TYPE=Release)
if [[ "${1:-}" == "--sanitize" ]]; then
  dir="$root/build-asan"
  flags=(-DCMAKE_BUILD_TYPE=Debug -DKAVETTA_SANITIZE=ON -DKAVETTA_BENCH=OFF)
  shift
fi

export CCACHE_DIR="${CCACHE_DIR:-$root/.cache/ccache}"
# Paths below the checkout are hashed relative to it, so that two checkouts share their cache.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
cmake -S "$root" -B "$dir" -G Ninja "${flags[@]}" >/dev/null
# Qt's code generator does not notice a header that a new glob match brought in; make it scan
# again (it regenerates only what changed, so this costs a second).
find "$dir" -path '*_autogen/timestamp' -delete 2>/dev/null || true
ninja -C "$dir" -j"$(nproc)" "$@"
