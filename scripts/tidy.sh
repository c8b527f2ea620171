#!/usr/bin/env bash
# Runs clang-tidy with the checks of .clang-tidy over the sources of src/, tools/, tests/, bench/
# and fuzz/ (their headers with them; Qt's generated files are left out) and fails on any finding.
# `scripts/tidy.sh FILE...` checks only these files.
#
# The compile commands come from configuring the builds, which compiles nothing: build/ as
# scripts/build.sh configures it (src, tools, tests, bench) and build-fuzz/ as scripts/fuzz.sh
# configures it (the fuzz targets exist only in that clang build). A test includes the moc output
# of its own file: Qt's moc is run for the tests and benchmarks first, and only moc (the autogen
# targets of ninja would wait for the libraries they link).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

if [[ ! -f build/compile_commands.json ]]; then
  cmake -S "$root" -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
if [[ ! -f build-fuzz/compile_commands.json ]]; then
  CXX=clang++ cmake -S "$root" -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVETTA_FUZZ=ON >/dev/null
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' build/CMakeCache.txt)
find build/tests/CMakeFiles build/bench/CMakeFiles -path '*_autogen.dir/AutogenInfo.json' -print0 2>/dev/null |
  xargs -0 -r -n1 -P"$(nproc)" sh -c 'cmake -E cmake_autogen "$1" "$0" >/dev/null' "${build_type:-Release}"

if [[ $# -gt 0 ]]; then
  files=("$@")
else
  mapfile -t files < <(git ls-files 'src/*.cpp' 'tools/*.cpp' 'tests/*.cpp' 'bench/*.cpp' 'fuzz/*.cpp')
fi
main_files=() fuzz_files=()
for f in "${files[@]}"; do
  f=${f#"$root"/}
  if [[ $f == fuzz/* ]]; then fuzz_files+=("$f"); else main_files+=("$f"); fi
done

out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$SECONDS
# Paths as compile_commands.json spells them; the header filter keeps the build folders out.
status=0
tidy() {
  local dir=$1
  shift
  (($# > 0)) || return 0
  run-clang-tidy -p "$dir" -quiet -j"$(nproc)" -header-filter="^$root/(src|tools|tests|bench|fuzz)/" \
    "${@/#/^$root/}" >>"$out" 2>&1 || status=$?
}
tidy build "${main_files[@]}"
tidy build-fuzz "${fuzz_files[@]}"
# A file that no compile command names would be passed over in silence.
unchecked=()
for f in "${main_files[@]}" "${fuzz_files[@]}"; do
  grep -qF -- " $root/$f" "$out" || unchecked+=("$f")
done
if ((${#unchecked[@]} > 0)); then
  echo "clang-tidy: no compile command for ${unchecked[*]} (headers are checked with the sources that" \
    "include them; a new source needs its build configured again)"
  status=1
fi
findings=$(sed 's/\x1b\[[0-9;]*m//g' "$out" | grep -E '^[^ ].*: (warning|error): ' | sort -u || true)
if [[ $status -ne 0 || -n "$findings" ]]; then
  if [[ -n "$findings" ]]; then
    echo "$findings"
  else
    cat "$out"
  fi
  echo "clang-tidy: findings ($((SECONDS - start)) s)"
  exit 1
fi
echo "clang-tidy: ${#files[@]} files clean ($((SECONDS - start)) s)"
