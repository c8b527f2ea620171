#!/usr/bin/env bash
# The cluster resource agent (packaging/ocf/gateway) on its own, without a cluster: ocf-tester,
# then what ocf-tester does not try: a stalled gateway, one that died, one that ignores SIGTERM,
# a broken configuration, an options file without a status port, an instance folder that is not
# there, and reloads. Runs the gateway of the build against the stand-ins on 127.0.0.1.
#   scripts/ha-agent-test.sh [--build DIR]   (as root; scripts/ha-test.sh runs it first)
# Exit status 0 when everything passed; 77 when skipped (no root, no ocf-tester).
# shellcheck disable=SC2015 # "ok" only prints
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
[[ ${1:-} == --build ]] && build=$2
agent=$root/packaging/ocf/gateway
source "$root/scripts/ha-lib.sh"

[[ $(id -u) -eq 0 ]] || { echo "agent test skipped: it starts gateways as a cluster would, as root"; exit 77; }
for tool in ocf-tester xmllint setpriv; do
  command -v "$tool" > /dev/null ||
    { echo "agent test skipped: no $tool (scripts/setup.sh installs resource-agents, libxml2-utils)"; exit 77; }
done

work=$(mktemp -d /tmp/kavetta-agent.XXXXXX)
chmod 755 "$work"
standin_pids=()
instance=agenttest$$
cleanup() {
  OCF_RESKEY_CRM_meta_timeout=10000 run stop > /dev/null 2>&1
  stop_standins
  rm -rf "$work" "/run/kavetta/$instance" "/run/kavetta/$instance.cluster-pid"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
ok() { echo "ok: $*"; }

export OCF_ROOT=/usr/lib/ocf OCF_RESOURCE_INSTANCE=gw
export OCF_RESKEY_instance=$instance OCF_RESKEY_folder=$work/line OCF_RESKEY_user=root
export OCF_RESKEY_binary=$build/src/kavetta OCF_RESKEY_event_log=$work/events.log
status_port=$((20000 + $$ % 20000))
# Runs one action; its exit status in rc, its standard error in err.
run() {
  err=$("$agent" "$1" 2>&1 > /dev/null)
  rc=$?
}
pid_of_gateway() { awk '{ print $1 }' "/run/kavetta/$instance.cluster-pid" 2>/dev/null; }
# Not a zombie: a gateway's parent is whatever adopted it, which may reap late.
alive() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}
answers() { curl -s -m 2 -o /dev/null "http://127.0.0.1:$status_port/status"; }

# Requests a little slower than the line serves them: there are quiet moments.
start_standins "$work" 127.0.0.1 1500
make_instance "$work/line" 127.0.0.1 "$status_port"

echo "== ocf-tester"
if out=$(ocf-tester -n gw -o instance="$instance" -o folder="$work/line" -o user=root \
  -o binary="$build/src/kavetta" -o event_log="$work/events.log" "$agent" 2>&1); then
  ok "ocf-tester: $(tail -n 1 <<< "$out")"
else
  fail "ocf-tester:"$'\n'"$out"
fi

echo "== start, a stalled loop, a process that died"
run start
[[ $rc -eq 0 ]] && answers && ok "start returns with /status answering" ||
  fail "start: rc $rc, /status answers: $(answers && echo yes || echo no): $err"
pid=$(pid_of_gateway)
kill -STOP "$pid"
run monitor
[[ $rc -eq 1 && $err == *"ocf-exit-reason:"*"did not answer"* ]] &&
  ok "a stopped (stalled) gateway is failed: ${err##*ocf-exit-reason:}" ||
  fail "monitor of a stalled gateway: rc $rc (want 1): $err"
before=$(date +%s%3N)
OCF_RESKEY_CRM_meta_timeout=20000 run stop
took=$(($(date +%s%3N) - before))
if [[ $rc -eq 0 ]] && ! alive "$pid" && ((took < 5000)); then
  ok "stop ends the stalled gateway with its unload in ${took} ms"
else
  fail "stop of a stalled gateway: rc $rc, still there: $(alive "$pid" && echo yes || echo no), ${took} ms"
fi
grep -q "Start Kavetta" "$work/events.log" || fail "the event log has no start entry"
run monitor
[[ $rc -eq 7 ]] && ok "stopped: monitor 7" || fail "monitor after stop: rc $rc (want 7)"

run start
kill -KILL "$(pid_of_gateway)"
sleep 0.2
run monitor
[[ $rc -eq 1 && $err == *"ended without a stop"* ]] && ok "a gateway that died is failed" ||
  fail "monitor of a dead gateway: rc $rc (want 1): $err"
run stop
[[ $rc -eq 0 ]] || fail "stop after a death: rc $rc"
run monitor
[[ $rc -eq 7 ]] || fail "monitor after stop of a dead gateway: rc $rc (want 7)"

echo "== planned stops"
# Each stop waits for a moment when no job is out to the printer: the next start then finds
# nothing that was on the wire, so nothing is printed twice.
for _ in 1 2 3 4; do
  run start
  sleep 1.7
  run stop
done
wire=$(grep -c "on the wire" "$work/events.log")
[[ $wire -eq 0 ]] && ok "4 stops with requests flowing left no job on the wire" ||
  fail "planned stops left $wire jobs on the wire"
OCF_RESKEY_drain_timeout=x run validate-all
[[ $rc -eq 6 ]] || fail "validate-all of drain_timeout x: rc $rc (want 6)"

echo "== a gateway that ignores SIGTERM"
# A program that ignores SIGTERM and runs the gateway as its child: the stop must end both.
cat > "$work/deaf" <<EOF
#!/bin/bash
trap '' TERM
"$build/src/kavetta" "\$@" &
wait
EOF
chmod 755 "$work/deaf"
OCF_RESKEY_binary=$work/deaf run start
deaf=$(pid_of_gateway)
child=$(cat "/proc/$deaf/task/"*/children 2>/dev/null)
before=$(date +%s%3N)
OCF_RESKEY_binary=$work/deaf OCF_RESKEY_CRM_meta_timeout=7000 run stop
took=$(($(date +%s%3N) - before))
sleep 0.1
if [[ $rc -eq 0 && -n $child ]] && ! alive "$deaf" && ! alive "$child" &&
  ((took >= 2000 && took < 7000)); then
  ok "SIGKILL after the grace time (stop time-out less 5 s) ends it and its child: ${took} ms"
else
  fail "stop of a program that ignores SIGTERM: rc $rc, ${took} ms, left: $(alive "$deaf" && echo "$deaf") $( [[ -n $child ]] && alive "$child" && echo "$child"): $err"
  kill -KILL "$deaf" ${child:+"$child"} 2>/dev/null
fi

echo "== reload"
run start
pid=$(pid_of_gateway)
sed -i 's/^maxQueuedItems = 25/maxQueuedItems = 24/' "$work/line/Kavetta.ini"
run reload
sleep 0.5
[[ $rc -eq 0 && $(pid_of_gateway) == "$pid" ]] && grep -q "Instance options reloaded" "$work/events.log" &&
  ok "reload: the running gateway read its options again" ||
  fail "reload: rc $rc, pid $pid -> $(pid_of_gateway), options reloaded: $(grep -c "Instance options reloaded" "$work/events.log"): $err"
OCF_RESKEY_event_log=$work/events2.log run reload
[[ $rc -eq 0 && $(pid_of_gateway) != "$pid" ]] && grep -q "Start Kavetta" "$work/events2.log" &&
  ok "reload with another event log restarts the gateway" ||
  fail "reload with a changed parameter: rc $rc, pid $pid -> $(pid_of_gateway): $err"
OCF_RESKEY_event_log=$work/events2.log run stop

echo "== as another user"
# The instance folder belongs to the user, as kavetta-instance lays it out for kavetta.
chown -R nobody: "$work/line" "$work/events.log"
OCF_RESKEY_user=nobody run start
pid=$(pid_of_gateway)
owner=$(ps -o user= -p "$pid" 2>/dev/null)
[[ $rc -eq 0 && $owner == nobody && $(stat -c %U "/run/kavetta/$instance") == nobody ]] && answers &&
  ok "the gateway runs as nobody, its runtime folder is nobody's" ||
  fail "start as nobody: rc $rc, process of '$owner', runtime folder of $(stat -c %U "/run/kavetta/$instance"): $err"
OCF_RESKEY_user=nobody run stop
[[ $rc -eq 0 ]] && ! alive "$pid" || fail "stop as nobody: rc $rc"
OCF_RESKEY_user=nobody-at-all run validate-all
[[ $rc -eq 5 ]] || fail "validate-all of a user that does not exist: rc $rc (want 5)"
chown -R root: "$work/line" "$work/events.log"

echo "== configuration problems"
cp "$work/line/Kavetta.zelb" "$work/Kavetta.zelb.good"
sed -i 's/^"Port",/"Prot",/' "$work/line/Kavetta.zelb"
run validate-all
reason=$(sed -n 's/^ocf-exit-reason://p' <<< "$err")
[[ $rc -eq 6 && $reason == 'configuration check: 1 errors, first Kavetta.zelb:3: unknown record "Prot"'* && ${#reason} -le 127 ]] &&
  ok "validate-all names the broken line: $reason" ||
  fail "validate-all of a broken configuration: rc $rc (want 6): $err"
run start
[[ $rc -eq 6 && ! -e /run/kavetta/$instance.cluster-pid ]] && ok "start refuses it and starts nothing" ||
  fail "start of a broken configuration: rc $rc (want 6), pid file: $(pid_of_gateway)"
cp "$work/Kavetta.zelb.good" "$work/line/Kavetta.zelb"

sed -i 's/^port = .*/port =/' "$work/line/Kavetta.ini"
run validate-all
[[ $rc -eq 6 && $err == *"sets no [status] port"* ]] && ok "an options file without a status port is refused" ||
  fail "validate-all without a status port: rc $rc (want 6): $err"
sed -i "s/^port =.*/port = $status_port/" "$work/line/Kavetta.ini"

OCF_RESKEY_folder=$work/elsewhere run validate-all
[[ $rc -eq 5 && $err == *"not found on this node"* ]] && ok "a folder that is not there: not installed here (5)" ||
  fail "validate-all without the folder: rc $rc (want 5): $err"
OCF_RESKEY_folder=$work/elsewhere OCF_RESKEY_CRM_meta_interval=0 run monitor
[[ $rc -eq 7 ]] || fail "probe without the folder: rc $rc (want 7)"
OCF_RESKEY_instance="../x" run validate-all
[[ $rc -eq 6 ]] || fail "validate-all of the instance name ../x: rc $rc (want 6)"

if ((failures > 0)); then
  echo "agent test: $failures failed"
  exit 1
fi
echo "agent test: passed"
