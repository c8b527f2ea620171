#!/usr/bin/env bash
# Checks that every tracked C++ file follows .clang-format (`scripts/lint.sh --fix` formats them
# instead) and that the includes of src/ and tools/ follow the folder order below. Prints what
# is wrong and fails when anything is.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [[ "${1:-}" == "--fix" ]]; then
  clang-format -i "${files[@]}"
  exit 0
fi

bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
status=0
if [[ ${#bad[@]} -gt 0 ]]; then
  echo "These files differ from .clang-format (scripts/lint.sh --fix formats them):"
  printf '  %s\n' "${bad[@]}"
  status=1
else
  echo "format: ${#files[@]} files follow .clang-format"
fi

# The folders of src/, lowest first, then the tools: a file includes from its own folder and the
# folders before it, never from one after it.
layers=(common messages logging socket labels plclink plc config startup platform journal core status ui app tools)

for dir in src/*/; do
  dir=${dir#src/}
  dir=${dir%/}
  if [[ " ${layers[*]} " != *" $dir "* ]]; then
    echo "src/$dir: not in the folder order of scripts/lint.sh"
    status=1
  fi
done

mapfile -t layered < <(git ls-files 'src/*/*.cpp' 'src/*/*.h' 'tools/*.cpp' 'tools/*.h')
upward=$(awk -v order="${layers[*]}" '
  BEGIN { n = split(order, names, " "); for (i = 1; i <= n; i++) rank[names[i]] = i }
  FNR == 1 { split(FILENAME, parts, "/"); own = parts[1] == "tools" ? "tools" : parts[2] }
  match($0, /^[ \t]*#[ \t]*include[ \t]*"[^"\/]+\//) {
    target = substr($0, RSTART, RLENGTH - 1)
    sub(/^.*"/, "", target)
    if ((target in rank) && rank[target] > rank[own])
      printf "%s:%d: %s/ is above %s/ in the folder order\n", FILENAME, FNR, target, own
  }' "${layered[@]}")
if [[ -n "$upward" ]]; then
  echo "$upward"
  status=1
else
  echo "includes: ${#layered[@]} files follow the folder order"
fi
exit $status
