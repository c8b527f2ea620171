#!/usr/bin/env bash
# The demo stops everything it started: at Ctrl+C (SIGINT to its whole process group, as a
# terminal sends it) once a round trip has been printed, with either PLC link, and at the end of
# its timed mode. Afterwards no process of its group is left and its ports are free again.
#   demo_stop.sh <source dir> <build dir>
set -uo pipefail
src=$1
build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Job control: each demo runs in a process group of its own and, as from a terminal, does not
# start with SIGINT ignored.
set -m

fail() { echo "FAIL: $*"; cat "$work/out" 2>/dev/null; exit 1; }

# Runs the demo with the arguments given; with "interrupt" first, sends SIGINT once the PLC has
# printed an answer.
run_demo() {
  local how=$1
  shift
  : > "$work/out"
  "$src/scripts/demo.sh" --build "$build" --folder "$work/demo" --ports 0,0 "$@" > "$work/out" 2>&1 &
  local group=$!
  if [[ $how == interrupt ]]; then
    for _ in $(seq 300); do
      grep -q 'plc answer' "$work/out" && break
      sleep 0.1
    done
    grep -q 'plc answer' "$work/out" || { kill -KILL -- "-$group"; fail "no round trip ($*)"; }
    kill -INT -- "-$group"
  fi
  local ended=0
  for _ in $(seq 200); do
    if ! kill -0 "$group" 2>/dev/null; then ended=1; break; fi
    sleep 0.1
  done
  [[ $ended -eq 1 ]] || { kill -KILL -- "-$group"; fail "the demo did not end ($how $*)"; }
  wait "$group" || fail "the demo ended with status $? ($how $*)"
  grep -qx 'Demo stopped' "$work/out" || fail "no 'Demo stopped' ($how $*)"
  # The filters that prefix the programs' lines end with the programs' output.
  for _ in $(seq 30); do
    pgrep -g "$group" >/dev/null || break
    sleep 0.1
  done
  local left
  left=$(pgrep -a -g "$group") && fail "left running ($how $*): $left"
  local port
  for port in $(sed -n 's/.*listening.* port=\([0-9]*\).*/\1/p' "$work/out"); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      fail "port $port still serves ($how $*)"
    fi
  done
  [[ $(grep -c 'listening.* port=' "$work/out") -eq 2 ]] || fail "the stand-ins did not both start ($how $*)"
}

run_demo interrupt
run_demo interrupt --modbus
run_demo timed 2
echo "passed"
