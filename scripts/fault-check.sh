#!/usr/bin/env bash
# Deliberate-fault check: a measure of what the tests notice. It first runs the unchanged suite
# (a failing or flaky test would make every fault read as caught), then puts one known fault at a
# time into src/, builds, runs the tests and records whether some test noticed. The source is
# restored after every fault, also on Ctrl+C or an error.
#   scripts/fault-check.sh [-R regex] [-t seconds] [-l] [fault...]
#     fault...    only these faults (default: all)
#     -R regex    passed to ctest: run only the matching tests (the unchanged run too)
#     -t seconds  time-out per test (default 120)
#     -l          list the faults and check that each one still applies, then stop
# Progress goes to standard error, the table of results to standard output: "caught" (with the
# tests that failed), "gap" (missed, and listed as missed), "MISSED" (missed, not listed as a
# gap), "GAP CAUGHT" (listed as a gap, but a test now fails: take its mark away), "NO BUILD" (the
# fault no longer compiles: fix the fault). The exit status is 0 when every fault did what the list
# says (caught, or a listed gap), 1 when one was missed or did not build, 2 when the unchanged
# suite does not pass twice in a row or the source does not build.
#
# The whole list against the whole suite takes 40 minutes or more on two cores: run it before a
# change to the tests lands, or nightly. While working on one part, run the faults of that part
# against its tests only:  scripts/fault-check.sh -R 'TestAnswerFramer' framer-length-waits
# Builds into build/ like scripts/build.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Each fault: "@ name file", then the exact original lines ("-") and what replaces them ("+").
# The original must occur exactly once in the file. A "# gap: why" line under the "@" line says
# that no test catches the fault yet, and why; it goes once a test catches it.
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
-                     LinkOp::writeBool(record->hAnfordRecVar, true)};
+                     LinkOp::writeBool(record->hAnfordRecVar, false)};
@ response-mark-kept src/plc/PlcCycles.cpp
-            m_state.handOverWithdrawn(QueueJournal::Receive);
+            m_state.handingOver(QueueJournal::Receive);
@ response-condition-not-sent src/plclink/RuntimeLinkOps.cpp
-            b.onlyIfFalse = position[qsizetype(k)];
+            b.onlyIfFalse = -1;
@ response-condition-ignored-in-parts src/plclink/PlcLink.cpp
-    return read.kind == LinkOp::Kind::ReadBool && read.code == plclink::Ok && !read.flag;
+    return read.kind == LinkOp::Kind::ReadBool && read.code == plclink::Ok;
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
-        code = PeerFailure::AnswerTooLarge;
+        code = PeerFailure::AnswerCutShort;
@ endpoint-piece-splits-pair src/socket/QtSocketEndpoint.cpp
-            ++length;
+            length += 0;
@ endpoint-close-keeps-unsent src/socket/QtSocketEndpoint.cpp
-    m_sendInFlight = false;
-    dropUnsent();
-    m_received.clear();
+    m_sendInFlight = false;
+    m_received.clear();
@ print-data-no-second-row src/labels/MdbPrintData.cpp
-        if (firstSeen || !data.isEmpty())
+        if (!firstSeen || !data.isEmpty())
@ template-gt-unescaped src/labels/XmlTemplateText.cpp
-            out += beforeLast == u']' && last == u']' ? QStringView(u"&gt;") : QStringView(u">");
+            out += beforeLast == u']' && last == u'>' ? QStringView(u"&gt;") : QStringView(u">");
@ template-comment-line-end src/labels/XmlTemplateText.cpp
-        if (m_afterComment && !text)
+        if (m_afterComment && text)
@ template-blank-text-kept src/labels/XmlTemplateText.cpp
-        if (blank) {
+        if (blank && m_openTag) {
@ template-attributes-in-file-order src/labels/XmlTemplateText.cpp
-        if (m_parts.size() == 1)
-            m_out += m_attributes.sliced(0, m_attributes.size());
+        if (!m_parts.empty())
+            return void(m_out += m_attributes.sliced(0, m_attributes.size()));
@ template-controls-taken src/labels/XmlTemplateText.cpp
-    return c >= 0x20 ? c < 0x7F || (c >= 0xA0 && c < 0xFFFE) : c == u'\t' || c == u'\n';
+    return c >= 0x20 ? c < 0x7F || (c >= 0xA0 && c < 0xFFFE) : c != 0;
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
-    sqlite3_bind_int(m_handed, 1, handed ? 1 : 0);
+    sqlite3_bind_int(m_handed, 1, 0);
@ status-log-tail-cr src/status/StatusReport.cpp
-            pending.chop(2);
+            pending.chop(1);
@ link-reconnect-never src/plclink/LinkConnection.cpp
-    setState(State::Down);
-    scheduleRetry();
+    setState(State::Down);
@ link-connected-not-reported src/plclink/LinkConnection.cpp
-    setState(State::Connected);
+    m_state = State::Connected;
@ reload-plc-target-kept src/core/GatewayCore.cpp
-    if (before.at(PlcTarget) != now.at(PlcTarget) || before.at(Module) != now.at(Module) || roleChanged ||
+    if (before.at(Module) != now.at(Module) || roleChanged ||
@ reload-peer-kept src/core/GatewayCore.cpp
-    if ((before.at(Peer) != now.at(Peer) || roleChanged) && !m_state.settings.serverRole) {
+    if (roleChanged && !m_state.settings.serverRole) {
@ response-first-tick-sleeps src/core/GatewayCore.cpp
-    m_timer2->setInterval(0);
-    m_timer2->start();
+    m_timer2->setInterval(responseIntervalMs);
+    m_timer2->start();
@ response-retry-busy src/core/GatewayCore.cpp
-    else if (m_timer2->interval() != responseIntervalMs)
+    else if (false)
@ tracker-answers-newest src/common/RequestTracker.cpp
-    const Owed oldest = m_owed.front();
-    m_owed.pop_front();
+    const Owed oldest = m_owed.back();
+    m_owed.pop_back();
@ journal-replay-not-requeued src/journal/JournalKeeper.cpp
-            m_journal.requeued(item);
@ journal-withdrawn-mark-kept src/journal/SqliteJournal.cpp
-    markFirst(queue, false);
+    markFirst(queue, true);
@ journal-replay-keeps-wire-mark src/journal/SqliteJournal.cpp
-        sqlite3_bind_int(m_handed, 1, 0);
+        sqlite3_bind_int(m_handed, 1, 1);
@ journal-replay-age-bound src/journal/JournalKeeper.cpp
-        const bool replay = replayMs > 0 && age >= 0 && age <= replayMs;
+        const bool replay = replayMs > 0 && age >= 0 && age < replayMs;
@ journal-replay-clock-stepped-back src/journal/JournalKeeper.cpp
-        const bool replay = replayMs > 0 && age >= 0 && age <= replayMs;
+        const bool replay = replayMs > 0 && age <= replayMs;
@ link-retry-delay-unbounded src/plclink/LinkConnection.cpp
-constexpr int MaxRetryDelayMs = 1000;
+constexpr int MaxRetryDelayMs = 60000;
@ framer-length-waits src/socket/AnswerFramer.cpp
-        if (m_buffer.size() < m_bodyLength)
+        if (m_buffer.size() <= m_bodyLength)
@ framer-terminator-left src/socket/AnswerFramer.cpp
-        m_buffer.remove(0, at + m_terminator.size());
+        m_buffer.remove(0, at + 1);
@ status-tail-mid-record src/status/StatusReport.cpp
-    const qsizetype first = cut ? 1 : 0; // a tail read from the middle starts mid-record
+    const qsizetype first = 0; // a tail read from the middle starts mid-record
@ status-histogram-not-cumulative src/status/StatusReport.cpp
-            cumulated += h.buckets()[i];
+            cumulated = h.buckets()[i];
@ status-page-script-end src/status/StatusPage.cpp
-    json.replace("</", "<\\/");
+    json.replace("</", "</");
EOF
)
export FAULTS

# fault.py check [name...]: prints "name file gap" for each fault (gap: 1 when it is listed as a
# gap), failing unless its original occurs exactly once; fault.py apply NAME: puts the fault in;
# fault.py why NAME: the reason given for its gap.
fault_py() {
  python3 - "$@" <<'PY'
import os, sys
faults, cur = {}, None
for line in os.environ["FAULTS"].splitlines():
    if line.startswith("@ "):
        name, path = line[2:].split()
        cur = faults[name] = {"path": path, "-": [], "+": [], "gap": ""}
    elif line.startswith("# gap:") and cur:
        cur["gap"] = line[len("# gap:"):].strip() or "no reason given"
    elif line[:1] in "-+" and cur:
        cur[line[0]].append(line[1:])
mode, names = sys.argv[1], sys.argv[2:] or list(faults)
for name in names:
    f = faults.get(name)
    if f is None:
        sys.exit(f"fault-check: no fault named {name}")
    if mode == "why":
        print(f["gap"])
        continue
    text = open(f["path"], encoding="utf-8").read()
    old, new = "\n".join(f["-"]), "\n".join(f["+"])
    if text.count(old) != 1:
        sys.exit(f"fault-check: {name}: the original occurs {text.count(old)} times in {f['path']}"
                 " instead of once; update the fault list")
    if mode == "check":
        print(name, f["path"], 1 if f["gap"] else 0)
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
  *) sed -n '6,10p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

checked=$(fault_py check "$@")
if ((list)); then
  while read -r name file gap; do
    if ((gap)); then
      echo "$name $file (gap: $(fault_py why "$name"))"
    else
      echo "$name $file"
    fi
  done <<<"$checked"
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

# The names of the tests that failed, from a ctest log.
failed_tests() {
  sed -n '/tests FAILED:/,$ s/^[[:space:]]*[0-9][0-9]* - \([^ ]*\) .*/\1/p' "$1" | sort -u | paste -sd ' '
}

started=$SECONDS
# The unchanged suite, twice: a test that fails, or fails only now and then, would read as
# catching every fault.
echo "== the unchanged source" >&2
if ! scripts/build.sh >"$work/build.log" 2>&1; then
  cat "$work/build.log" >&2
  echo "fault-check: the unchanged source does not build; nothing measured" >&2
  exit 2
fi
if ! ctest "${ctest_args[@]}" -N | grep -q '^Total Tests: [1-9]'; then
  echo "fault-check: no test to run${regex:+ matches $regex}" >&2
  exit 2
fi
for run in 1 2; do
  if ! ctest "${ctest_args[@]}" >"$work/test.log" 2>&1; then
    failed=$(failed_tests "$work/test.log")
    if ctest "${ctest_args[@]}" --rerun-failed >"$work/rerun.log" 2>&1; then
      echo "fault-check: the unchanged suite is flaky (${failed:-a test} failed, then passed);" \
        "make it reliable first, nothing measured" >&2
    else
      tail -n 20 "$work/rerun.log" >&2
      echo "fault-check: the unchanged suite fails ($(failed_tests "$work/rerun.log")); fix that first," \
        "nothing measured" >&2
    fi
    exit 2
  fi
  echo "   run $run passed" >&2
done

results=() unexpected=0
mapfile -t chosen <<<"$checked"
for entry in "${chosen[@]}"; do
  read -r name file gap <<<"$entry"
  echo "== $name ($file)" >&2
  cp "$file" "$work/original"
  pending=$file
  fault_py apply "$name"
  if ! scripts/build.sh >"$work/build.log" 2>&1; then
    results+=("$name|NO BUILD|the fault does not compile: fix the fault")
    unexpected=1
  elif ctest "${ctest_args[@]}" >"$work/test.log" 2>&1; then
    if ((gap)); then
      results+=("$name|gap|$(fault_py why "$name")")
    else
      results+=("$name|MISSED|no test failed")
      unexpected=1
    fi
  else
    failed=$(failed_tests "$work/test.log")
    if ((gap)); then
      results+=("$name|GAP CAUGHT|${failed:-(ctest failed, no test named)}: take its gap mark away")
    else
      results+=("$name|caught|${failed:-(ctest failed, no test named)}")
    fi
  fi
  restore
  last=${results[-1]#*|}
  echo "   ${last/|/: }" >&2
done
echo "== rebuilding the unchanged source" >&2
scripts/build.sh >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 2; }

printf '%-32s %-11s %s\n' fault result "failing tests, or why no test fails"
for r in "${results[@]}"; do
  IFS='|' read -r name result tests <<<"$r"
  printf '%-32s %-11s %s\n' "$name" "$result" "$tests"
done
echo "($(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s)" >&2
exit $unexpected
