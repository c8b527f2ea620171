#!/usr/bin/env bash
# A peer whose cable is pulled: the static connection must end in the error event within about
# 30 s (keep-alive), and the reconnect sequence takes over. The peer lives in a network namespace
# of its own; pulling the cable is taking its link down, so nothing answers, not even the kernel.
# Needs root and network namespaces; skipped (exit 77) where they are not available.
#   dead_peer.sh <build dir>
set -uo pipefail
build=$1
[[ $(id -u) -eq 0 ]] || { echo "SKIP: needs root"; exit 77; }
ns="kvdead$$"
host_if="kvh$$"
peer_if="kvp$$"
net="10.251.$(( $$ % 250 ))"
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  ip netns del "$ns" 2>/dev/null
  ip link del "$host_if" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$ns" 2>/dev/null || { echo "SKIP: no network namespaces here"; exit 77; }
ip link add "$host_if" type veth peer name "$peer_if" || { echo "SKIP: no veth"; exit 77; }
ip link set "$peer_if" netns "$ns"
ip addr add "$net.1/24" dev "$host_if" && ip link set "$host_if" up
ip netns exec "$ns" ip addr add "$net.2/24" dev "$peer_if"
ip netns exec "$ns" ip link set "$peer_if" up

# The peer accepts and keeps every connection, saying nothing.
ip netns exec "$ns" python3 -c "
import socket
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('0.0.0.0', 9100)); s.listen(5); held = []
while True:
    c, a = s.accept(); print('accepted', flush=True); held.append(c)
" > "$work/peer.log" 2>&1 &
pids+=($!)

mkdir -p "$work/Server"
printf '"ServerPath","~apppath~/Data"\r\n"Netid",""\r\n"Port",""\r\n"Modulname","Dead"\r\n"Maschinenname",""\r\n"XML-Export",0\r\n"RemoteHost","%s"\r\n"RemotePort","9100"\r\n"ServerTest",0\r\n"Status",1\r\n"Timeout","10"\r\n"StaticConnect",1\r\n"ResetOnError",1\r\n"UTF8Codierung",0\r\n"AutoConnectOff",#FALSE#\r\n' \
  "$net.2" > "$work/Server/Kavetta.zelb"
KAVETTA_HOME="$work/Server" KAVETTA_EVENTLOG="$work/events.log" KAVETTA_HEADLESS=1 \
  XDG_CONFIG_HOME="$work/xdg-home" XDG_CONFIG_DIRS="$work/xdg" XDG_RUNTIME_DIR="$work" \
  "$build/src/kavetta" > "$work/gateway.log" 2>&1 &
pids+=($!)

for _ in $(seq 50); do grep -q accepted "$work/peer.log" && break; sleep 0.2; done
grep -q accepted "$work/peer.log" || { echo "FAIL: the gateway never connected"; cat "$work/gateway.log"; exit 1; }
ip netns exec "$ns" ip link set "$peer_if" down
pulled=$(date +%s)
# The keep-alive probes find it unanswered ("Connection timed out"); when the neighbour entry of the
# pulled peer has expired first, the kernel says "No route to host" instead. Either is the error event.
dead='Connection timed out|No route to host'
for _ in $(seq 90); do
  grep -Eq "$dead" "$work/events.log" 2>/dev/null && break
  sleep 0.5
done
took=$(( $(date +%s) - pulled ))
if ! grep -Eq "$dead" "$work/events.log" 2>/dev/null; then
  echo "FAIL: no error event within 45 s of the cable pull"; cat "$work/events.log" 2>/dev/null; exit 1
fi
echo "dead peer found after ${took} s"
exit 0
