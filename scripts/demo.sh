#!/usr/bin/env bash
# Sets everything up, builds, and runs the gateway with its stand-ins on this machine:
# the printer stand-in on 127.0.0.1:9100, the PLC runtime stand-in with the variables of
# module "Line1", and the gateway with examples/Kavetta.zelb in a demo folder.
# Without a display the gateway runs under a virtual X server. Stop with Ctrl+C.
#   scripts/demo.sh [seconds]    run for that long, then stop (default: until Ctrl+C)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

bin="$root/build"
demo="$root/build/demo"
mkdir -p "$demo/Server"
cp "$root/examples/Kavetta.zelb" "$demo/Server/Kavetta.zelb"
# Label templates under the program folder, print data under the server path ("~apppath~/Data").
mkdir -p "$demo/Server/Labels" "$demo/Server/Data/System"
cp "$root"/examples/Labels/*.xml "$demo/Server/Labels/"
cp "$root/examples/System/prog.mdb" "$demo/Server/Data/System/prog.mdb"
export KAVETTA_HOME="$demo/Server"
export KAVETTA_EVENTLOG="$demo/eventlog.txt"

pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT INT TERM

"$bin/tools/printersim/printersim" --port 9100 --reply "OK %n" > "$demo/printersim.log" 2>&1 &
pids+=($!)
if [[ -x "$bin/tools/plcsim/plcsim" ]]; then
  "$bin/tools/plcsim/plcsim" serve --module Line1 > "$demo/plcsim.log" 2>&1 &
  pids+=($!)
  # The scripted PLC: now and then a label (lot L4711, part 3 of the example database) and a job.
  ( sleep 5
    while :; do
      "$bin/tools/plcsim/plcsim" request --module Line1 --data "/SetLabel=2.1#etikett.xml#L4711#3" --timeout-ms 10000
      sleep 5
      "$bin/tools/plcsim/plcsim" request --module Line1 --data "/SetJob=2.1#Tagesjob" --timeout-ms 10000
      sleep 10
    done ) > "$demo/plc-script.log" 2>&1 &
  pids+=($!)
fi

run=("$bin/src/kavetta" "$demo/Server/Kavetta.zelb")
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  run=(xvfb-run -a "${run[@]}")
fi
echo "Demo folder: $demo (log file Socketcomm-Line1-.dat, stand-in logs *.log)"
if [[ -n "${1:-}" ]]; then
  timeout "$1" "${run[@]}" || true
else
  "${run[@]}"
fi
