#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the sources of src/ and tools/ (their
# headers with them; Qt's generated files are left out) and fails on any finding. It reads the
# compile commands of build/; `scripts/tidy.sh FILE...` checks only these files.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# The compile commands come from configuring build/ as scripts/build.sh does; nothing is compiled
# for this (src/ and tools/ include no generated file).
if [[ ! -f build/compile_commands.json ]]; then
  cmake -S "$root" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi

if [[ $# -gt 0 ]]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files 'src/*.cpp' 'tools/*.cpp')
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$SECONDS
# Paths as compile_commands.json spells them; the header filter keeps the build folder out.
status=0
run-clang-tidy -p build -quiet -j"$(nproc)" -header-filter="^$root/(src|tools)/" \
  "${files[@]/#/^$root/}" >"$out" 2>&1 || status=$?
findings=$(sed 's/\x1b\[[0-9;]*m//g' "$out" | grep -E '^[^ ].*: (warning|error): ' | sort -u || true)
if [[ $status -ne 0 || -n "$findings" ]]; then
  if [[ -n "$findings" ]]; then
    echo "$findings"
  else
    cat "$out"
  fi
  echo "clang-tidy: findings in src/ or tools/ ($((SECONDS - start)) s)"
  exit 1
fi
echo "clang-tidy: ${#files[@]} files clean ($((SECONDS - start)) s)"
