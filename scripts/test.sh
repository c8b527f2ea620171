#!/usr/bin/env bash
# Sets everything up, builds and runs every test.
#   scripts/test.sh              Release build
#   scripts/test.sh --sanitize   the same tests under AddressSanitizer + UndefinedBehaviorSanitizer
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"
"$root/scripts/build.sh" "$@"

dir="$root/build"
[[ "${1:-}" == "--sanitize" ]] && dir="$root/build-asan"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$dir" --output-on-failure -j2
