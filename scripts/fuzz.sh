#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds.
#   scripts/fuzz.sh [seconds]     (default 60)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-60}"

"$root/scripts/setup.sh"
dir="$root/build-fuzz"
export CCACHE_DIR="${CCACHE_DIR:-$root/.cache/ccache}"
CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVETTA_FUZZ=ON >/dev/null
ninja -C "$dir" -j"$(nproc)"

shopt -s nullglob
for src in "$root"/fuzz/*.cpp; do
  name=$(basename "$src" .cpp)
  corpus="$dir/corpus-$name"
  mkdir -p "$corpus"
  echo "fuzzing $name for ${seconds}s"
  "$dir/fuzz/$name" -max_total_time="$seconds" -print_final_stats=0 "$corpus" 2>&1 | tail -n 3
done
