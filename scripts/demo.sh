#!/usr/bin/env bash
# Sets everything up, builds the gateway and its stand-ins, and runs them on this machine:
#   - the printer stand-in on 127.0.0.1:9100 (it answers "OK <length>" and keeps every document
#     it receives in build/demo/printed/),
#   - the PLC runtime stand-in on 127.0.0.1:48898 with the variables of module "Line1" and a
#     scripted PLC that raises a request every 3 seconds (plain data, a label, a job) and takes
#     each answer, printing the round trip,
#   - the gateway with examples/Kavetta.zelb (client role, static connection) in build/demo:
#     in its window when there is a display, without one otherwise.
# What the PLC and the printer see is printed here. Ctrl+C stops everything it started.
#   scripts/demo.sh [--modbus] [SECONDS]
#     --modbus   the PLC side over Modbus/TCP instead: a PLC on 127.0.0.1:5020 (Debian's pymodbus
#                server) holding the variables at the addresses of examples/Line1-modbus.modbus,
#                whose program raises the same requests; the gateway reaches it through that map
#     SECONDS    stop after that many seconds (default: at Ctrl+C)
#   For tests: --build DIR (the programs already built there; nothing is set up or built),
#   --folder DIR (the demo folder, default DIR/demo), --ports PRINTER,PLC (0: any free port).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

modbus=0
seconds=""
build=""
demo=""
printer_port=9100
plc_port=""
while [[ $# -gt 0 ]]; do
  case "$1" in
    --modbus) modbus=1 ;;
    --build) build=$2; shift ;;
    --folder) demo=$2; shift ;;
    --ports) printer_port=${2%,*}; plc_port=${2#*,}; shift ;;
    [0-9]*) seconds=$1 ;;
    *) sed -n '2,/^set -e/{/^set -e/d;s/^# \{0,1\}//;p}' "$0" >&2; exit 2 ;;
  esac
  shift
done
[[ -n "$plc_port" ]] || plc_port=$([[ $modbus -eq 1 ]] && echo 5020 || echo 48898)

if [[ -z "$build" ]]; then
  "$root/scripts/setup.sh"
  echo "Building the gateway and its stand-ins in build/ (the first time takes a few minutes)"
  "$root/scripts/build.sh" kavetta kavetta_window plcsim printersim
  build="$root/build"
fi
demo=${demo:-$build/demo}

for port in "$printer_port" "$plc_port"; do
  if [[ $port -ne 0 ]] && (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
    echo "Port $port is in use on this machine; stop what uses it and start the demo again." >&2
    exit 1
  fi
done

rm -rf "$demo"
mkdir -p "$demo/Server/Labels" "$demo/Data/System" "$demo/printed"
: > "$demo/printer.log"
: > "$demo/plc.log"
# Label templates under the program folder; print data under the server path "~apppath~/Data",
# where ~apppath~ is the folder above the configuration file's Server folder.
cp "$root"/examples/Labels/*.xml "$demo/Server/Labels/"
cp "$root/examples/System/prog.mdb" "$demo/Data/System/prog.mdb"
export KAVETTA_HOME="$demo/Server"
export KAVETTA_EVENTLOG="$demo/eventlog.txt"
# The machine-wide options of the demo stay in the demo folder.
export XDG_CONFIG_HOME="$demo/config" XDG_CONFIG_DIRS="$demo/config-machine"

# The processes this script started: the programs themselves, not the filters that put a prefix
# on their lines (those end when the program's output closes).
pids=()
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}
stopped=0
stop_all() {
  [[ $stopped -eq 0 ]] || return 0
  stopped=1
  # A second Ctrl+C must not cut the stop short and leave programs behind.
  trap '' INT TERM HUP
  local p left
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  # The gateway runs its unload first; whatever has not ended within 10 s is killed.
  for _ in $(seq 100); do
    left=0
    for p in "${pids[@]}"; do running "$p" && left=1; done
    [[ $left -eq 1 ]] || break
    sleep 0.1
  done
  for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
  wait "${pids[@]}" 2>/dev/null || true
  echo "Demo stopped"
  echo "  communication log: $demo/Server/Socketcomm-Line1-.dat"
  echo "  printed documents: $demo/printed"
}
# A terminal's Ctrl+C reaches every process of the demo, but programs started in the background
# by a script ignore it; the stop sends them SIGTERM.
trap stop_all EXIT
trap 'exit 0' INT TERM HUP

# Waits for the "listening ... port=N" line in the log $1 and prints N.
listening_port() {
  for _ in $(seq 150); do
    local port
    port=$(sed -n 's/.*listening.* port=\([0-9]*\).*/\1/p' "$1" | head -n 1)
    [[ -n "$port" ]] && { echo "$port"; return 0; }
    running "$2" || break
    sleep 0.1
  done
  echo "$(basename "$1" .log) did not start:" >&2
  cat "$1" >&2
  return 1
}

"$build/tools/printersim/printersim" --port "$printer_port" --reply "OK %n" --save "$demo/printed" \
  > >(tee "$demo/printer.log" | sed -u 's/^/printer  /') 2>&1 &
pids+=($!)
printer_port=$(listening_port "$demo/printer.log" "$!")

requests=(--every 3000 --data "Hello printer {n}" --data "/SetLabel=2.1#etikett.xml#L4711#3"
  --data "Order {n}: 12 pieces" --data "/SetJob=2.1#Tagesjob")
if [[ $modbus -eq 1 ]]; then
  cp "$root/examples/Line1-modbus.modbus" "$demo/Server/Kavetta.modbus"
  # Debian's interpreter, which has Debian's pymodbus (another python3 on the PATH may not).
  /usr/bin/python3 "$root/scripts/modbus-plc.py" --map "$demo/Server/Kavetta.modbus" --module Line1 \
    --port "$plc_port" "${requests[@]}" \
    > >(tee "$demo/plc.log" | sed -u 's/^/PLC      /') 2>&1 &
else
  "$build/tools/plcsim/plcsim" serve --port "$plc_port" --module Line1 --plc Line1 "${requests[@]}" \
    > >(tee "$demo/plc.log" | grep --line-buffered -E '^(plc|listening)' | sed -u 's/^/PLC      /') 2>&1 &
fi
pids+=($!)
plc_port=$(listening_port "$demo/plc.log" "$!")

# The example configuration, with the ports the stand-ins took.
sed -e "s/^\"Port\",\"[^\"]*\"/\"Port\",\"$plc_port\"/" \
  -e "s/^\"RemotePort\",\"[^\"]*\"/\"RemotePort\",\"$printer_port\"/" \
  "$root/examples/Kavetta.zelb" > "$demo/Server/Kavetta.zelb"

if [[ $modbus -eq 1 ]]; then
  echo "PLC link: Modbus/TCP to 127.0.0.1:$plc_port, variable map $demo/Server/Kavetta.modbus"
  echo "  look at .anford and .antwort yourself: mbpoll -q -1 -m tcp -p $plc_port -a 1 -0 -t 0 -r 0 -c 2 127.0.0.1"
fi
if [[ -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Gateway: in its window (it waits in the notification area; on a desktop without one, minimised)"
else
  echo "Gateway: no display, running without a window"
fi
echo "Demo folder: $demo; stop with Ctrl+C"
"$build/src/kavetta" "$demo/Server/Kavetta.zelb" 2>"$demo/gateway-stderr.log" &
gateway=$!
pids+=("$gateway")
if [[ -n "$seconds" ]]; then
  # In the background, so that a signal to this script is handled at once.
  sleep "$seconds" &
  pids+=($!)
  wait $! || true
else
  wait "$gateway" || true
fi
