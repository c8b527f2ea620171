#!/usr/bin/env bash
# Deliberate-fault check: puts one known fault at a time into src/, builds, runs the tests and
# records whether some test noticed. Use it to show that a change to the tests still catches what
# the suite caught before. The source is restored after every fault, also on Ctrl+C or an error.
#   scripts/fault-check.sh [-R regex] [-t seconds] [-l] [fault...]
#     fault...    only these faults (default: all)
#     -R regex    passed to ctest: run only the matching tests
#     -t seconds  time-out per test (default 120)
#     -l          list the faults and check that each one still applies, then stop
# Progress goes to standard error, the table of results to standard output. The exit status is 1
# when a fault was missed. Builds into build/ like scripts/build.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Each fault: "@ name file", then the exact original lines ("-") and what replaces them ("+").
# The original must occur exactly once in the file.
FAULTS=$(
  cat <<'EOF'
@ config-timeout-floor src/config/ConfigRecords.cpp
-    return rounded < 2.0 ? 2 : static_cast<qint32>(rounded);
+    return rounded < 1.0 ? 1 : static_cast<qint32>(rounded);
@ config-exponent-ignored src/config/ConfigRecords.cpp
-    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
+    if (i < 0) {
@ settings-write-unchecked src/startup/SettingsCommand.cpp
-        if (p.isError() && !known.contains(problemKey(p)))
+        if (p.isError() && known.contains(problemKey(p)))
@ request-flag-kept src/plc/PlcCycles.cpp
-    const qint32 resetCode = m_link.writeVarBool(record->hAnfordVar, false);
+    const qint32 resetCode = m_link.writeVarBool(record->hAnfordVar, true);
@ response-flag-unset src/plc/PlcCycles.cpp
-    const qint32 flagCode = m_link.writeVarBool(record->hAnfordRecVar, true);
+    const qint32 flagCode = m_link.writeVarBool(record->hAnfordRecVar, false);
@ request-spacing-short src/socket/SocketSupervision.cpp
-constexpr qint64 pacingMs = 2000;
+constexpr qint64 pacingMs = 1000;
@ fill-error-texts-swapped src/labels/PlaceholderText.cpp
-        const char *problem = line.isEmpty()              ? "Error Parsing Content (Empty) :"
-                              : equals < 0                ? "Error Parsing Content (No = found) :"
+        const char *problem = line.isEmpty()              ? "Error Parsing Content (No = found) :"
+                              : equals < 0                ? "Error Parsing Content (Empty) :"
@ socket-error-keeps-request src/socket/SocketEvents.cpp
-        s.resetRequest = true;
+        s.resetRequest = false;
@ too-large-wrong-code src/socket/SocketEvents.cpp
-            failure(PeerFailure::AnswerTooLarge, message);
+            failure(PeerFailure::AnswerCutShort, message);
@ print-data-no-second-row src/labels/MdbPrintData.cpp
-        if (firstSeen || !data.isEmpty())
+        if (!firstSeen || !data.isEmpty())
@ rotation-at-limit src/logging/LogBackup.cpp
-    if (size <= kMaxLogSize)
+    if (size < kMaxLogSize)
@ event-entry-separator src/logging/EventLog.cpp
-    const QLatin1String sep(" / ");
+    const QLatin1String sep(" | ");
@ message-cancel-no-pause src/messages/gui/frmMsgBox.cpp
-    m_messages.msgPause = true;
-    close();
+    m_messages.msgPause = false;
+    close();
@ free-space-at-limit src/platform/FreeSpace.cpp
-    if (reading->freeBytes >= qint64(limitMb) * 1000000)
+    if (reading->freeBytes > qint64(limitMb) * 1000000)
@ modbus-string-registers src/plclink/VariableMap.cpp
-        return (capacity + 1) / 2;
+        return capacity / 2;
@ line-framing-keeps-cr src/socket/AnswerFramer.cpp
-            answer.chop(1);
+            answer.chop(0);
@ journal-handed-not-marked src/journal/SqliteJournal.cpp
-    sqlite3_bind_int(m_handed, 1, 1);
+    sqlite3_bind_int(m_handed, 1, 0);
@ status-log-tail-cr src/status/StatusReport.cpp
-            pending.chop(2);
+            pending.chop(1);
EOF
)
export FAULTS

# fault.py check [name...]: prints "name file" for each fault, failing unless its original
# occurs exactly once; fault.py apply NAME: puts the fault in.
fault_py() {
  python3 - "$@" <<'PY'
import os, sys
faults, cur = {}, None
for line in os.environ["FAULTS"].splitlines():
    if line.startswith("@ "):
        name, path = line[2:].split()
        cur = faults[name] = {"path": path, "-": [], "+": []}
    elif line[:1] in "-+" and cur:
        cur[line[0]].append(line[1:])
mode, names = sys.argv[1], sys.argv[2:] or list(faults)
for name in names:
    f = faults.get(name)
    if f is None:
        sys.exit(f"fault-check: no fault named {name}")
    text = open(f["path"], encoding="utf-8").read()
    old, new = "\n".join(f["-"]), "\n".join(f["+"])
    if text.count(old) != 1:
        sys.exit(f"fault-check: {name}: the original occurs {text.count(old)} times in {f['path']}"
                 " instead of once; update the fault list")
    if mode == "check":
        print(name, f["path"])
    else:
        open(f["path"], "w", encoding="utf-8").write(text.replace(old, new))
PY
}

regex="" timeout=120 list=0
while getopts "R:t:l" opt; do
  case $opt in
  R) regex=$OPTARG ;;
  t) timeout=$OPTARG ;;
  l) list=1 ;;
  *) sed -n '2,11p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

checked=$(fault_py check "$@")
if ((list)); then
  echo "$checked"
  exit 0
fi

work=$(mktemp -d)
pending=""
restore() {
  if [[ -n "$pending" ]]; then
    cat "$work/original" >"$pending" # a fresh time stamp: the next build compiles it again
    pending=""
  fi
}
trap 'restore; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

export CCACHE_DIR="${CCACHE_DIR:-/work/.ccache}" QT_QPA_PLATFORM=offscreen
ctest_args=(--test-dir build -j2 --timeout "$timeout")
[[ -n "$regex" ]] && ctest_args+=(-R "$regex")

results=() missed=0 started=$SECONDS
mapfile -t chosen <<<"$checked"
for entry in "${chosen[@]}"; do
  read -r name file <<<"$entry"
  echo "== $name ($file)" >&2
  cp "$file" "$work/original"
  pending=$file
  fault_py apply "$name"
  if ! scripts/build.sh >"$work/build.log" 2>&1; then
    results+=("$name|CAUGHT (build failed)|-")
  elif ctest "${ctest_args[@]}" >"$work/test.log" 2>&1; then
    results+=("$name|MISSED|-")
    missed=1
  else
    failed=$(sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \([^ ]*\) .*/\1/p' "$work/test.log" |
      sort -u | paste -sd ' ')
    results+=("$name|CAUGHT|${failed:-(ctest failed, no test named)}")
  fi
  restore
  echo "   ${results[-1]#*|}" >&2
done
echo "== rebuilding the unchanged source" >&2
scripts/build.sh >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 2; }

printf '%-28s %-22s %s\n' fault result "failing tests"
for r in "${results[@]}"; do
  IFS='|' read -r name result tests <<<"$r"
  printf '%-28s %-22s %s\n' "$name" "$result" "$tests"
done
echo "($(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s)" >&2
exit $missed
