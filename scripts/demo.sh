#!/usr/bin/env bash
# Sets everything up, builds, and runs the gateway with its stand-ins on this machine:
#   - the printer stand-in on 127.0.0.1:9100 (it answers "OK <length>" and keeps every document
#     it receives in build/demo/printed/),
#   - the PLC runtime stand-in on 127.0.0.1:48898 with the variables of module "Line1" and a
#     scripted PLC that raises a request every 3 seconds (plain data, a label, a job) and takes
#     each answer, printing the round trip,
#   - the gateway with examples/Kavetta.zelb (client role, static connection) in build/demo:
#     in its window when there is a display, without one otherwise.
# What the PLC and the printer see is printed here. Stop with Ctrl+C.
#   scripts/demo.sh [seconds]    run for that long, then stop (default: until Ctrl+C)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" >/dev/null

bin="$root/build"
demo="$root/build/demo"
rm -rf "$demo/printed"
mkdir -p "$demo/Server/Labels" "$demo/Data/System" "$demo/printed"
cp "$root/examples/Kavetta.zelb" "$demo/Server/Kavetta.zelb"
# Label templates under the program folder; print data under the server path "~apppath~/Data",
# where ~apppath~ is the folder above the configuration file's Server folder.
cp "$root"/examples/Labels/*.xml "$demo/Server/Labels/"
cp "$root/examples/System/prog.mdb" "$demo/Data/System/prog.mdb"
export KAVETTA_HOME="$demo/Server"
export KAVETTA_EVENTLOG="$demo/eventlog.txt"
# The machine-wide options of the demo stay in the demo folder.
export XDG_CONFIG_HOME="$demo/config" XDG_CONFIG_DIRS="$demo/config-machine"

for port in 9100 48898; do
  if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "Port $port is in use on this machine; stop what uses it and start the demo again." >&2
    exit 1
  fi
done

pids=()
cleanup() {
  trap - EXIT INT TERM
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  echo "Demo stopped. Log file: $demo/Server/Socketcomm-Line1-.dat; printed documents: $demo/printed"
}
trap cleanup EXIT
trap 'exit 0' INT TERM

"$bin/tools/printersim/printersim" --port 9100 --reply "OK %n" --save "$demo/printed" \
  | sed -u 's/^/printer  /' &
pids+=($!)
"$bin/tools/plcsim/plcsim" serve --module Line1 --plc Line1 --every 3000 \
  --data "Hello printer {n}" --data "/SetLabel=2.1#etikett.xml#L4711#3" \
  --data "Order {n}: 12 pieces" --data "/SetJob=2.1#Tagesjob" \
  | grep --line-buffered '^plc\|listening' | sed -u 's/^/PLC      /' &
pids+=($!)
sleep 0.5

if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Gateway: in its window (it waits in the notification area; on a desktop without one, minimised)"
else
  echo "Gateway: no display, running without a window"
fi
echo "Demo folder: $demo"
"$bin/src/kavetta" "$demo/Server/Kavetta.zelb" 2>"$demo/gateway-stderr.log" &
gateway=$!
pids+=("$gateway")
if [[ -n "${1:-}" ]]; then
  sleep "$1"
else
  wait "$gateway" || true
fi
