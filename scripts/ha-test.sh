#!/usr/bin/env bash
# A line that survives the loss of its PC, tested for real: two cluster nodes on this machine,
# each in its own network, mount, PID and host-name namespaces with its own Corosync and
# Pacemaker, sharing the instance folder (a bind mount the cluster makes, standing in for DRBD or
# NFS). The PLC and printer stand-ins run in a third network namespace that both nodes reach;
# the PLC raises a request every 1.5 s through all of it (a little slower
# than the line serves them). The cluster is configured with the
# commands of docs/high-availability.md. Scenarios:
#   kill        every process of the active node killed (SIGKILL) just after the printer got a
#               job: the other node takes over (the last of several kills with replayMaxAgeSec 0:
#               it reports what the old node left instead of sending it again)
#   switch-over a planned move to the other node (crm resource move, then clear): nothing may be
#               printed twice
#   gateway     the gateway process alone killed: restarted in place, moved after the third time
#   broken      the configuration broken on disk: validate-all and the failed start say why
# Every request is accounted for: answered, reported to the PLC (.anfordErr), or reported by the
# node that took over (the journal's records in the event log); a job the printer got twice must
# be one the log marked as on the wire (or shows taken twice). The last line:
#   ha takeover: kill <s> s (token <s> s), switch-over <s> s, requests <n>, lost unseen <n>, unmarked doubles <n>
#
#   scripts/ha-test.sh [--build DIR] [--token MS|default] [--kills N] [--keep]
#     --build DIR   the programs already built there (default: builds them in build/)
#     --token MS    Corosync's token time-out; default 1000 (what the documentation recommends),
#                   "default" for Corosync's own
#     --kills N     kill the active node N times (default 3), for the minimum, median and maximum
#     --keep        keep the work folder (logs of both nodes, stand-ins, event log)
# Needs root, network namespaces and the packages corosync, pacemaker, crmsh and resource-agents
# (scripts/setup.sh installs them); without them it says why and ends with status 0.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

# Runs as the first process of a node's namespaces (see node_up): the node's own /run, /dev/shm,
# Pacemaker and Corosync state and logs, then Corosync and Pacemaker in the foreground.
if [[ ${1:-} == --node-init ]]; then
  n=$2 work=$3 d=$3/n$2
  hostname "n$n"
  mount -t tmpfs -o mode=0755 tmpfs /run
  mount -t tmpfs -o mode=1777 tmpfs /dev/shm
  mount --bind "$d/pacemaker" /var/lib/pacemaker
  mount --bind "$d/corosync" /var/lib/corosync
  mount --bind "$d/log" /var/log/pacemaker
  mount --bind "$work/corosync" /etc/corosync
  # The gateway's machine-wide options store stays inside the node.
  mount -t tmpfs tmpfs /etc/xdg
  # The resource agents of this machine, and the gateway's from this tree.
  for provider in /usr/lib/ocf/resource.d/*/; do
    provider=$(basename "$provider")
    [[ $provider == kavetta ]] && continue
    mkdir -p "$work/ocf/$provider"
    mount --bind "/usr/lib/ocf/resource.d/$provider" "$work/ocf/$provider"
  done
  mount --rbind "$work/ocf" /usr/lib/ocf/resource.d
  corosync -f > "$d/corosync.log" 2>&1 &
  for _ in $(seq 100); do corosync-cmapctl -g totem.cluster_name > /dev/null 2>&1 && break; sleep 0.1; done
  pacemakerd -f > "$d/pacemakerd.log" 2>&1 &
  wait
  exit 0
fi

build=""
token=1000
kills=3
keep=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build=$2; shift ;;
    --token) token=$2; shift ;;
    --kills) kills=$2; shift ;;
    --keep) keep=1 ;;
    *) sed -n '2,/^set -uo/{/^set -uo/d;s/^# \{0,1\}//;p}' "$0" >&2; exit 2 ;;
  esac
  shift
done
[[ $token == default || $token =~ ^[1-9][0-9]*$ ]] || { echo "--token: milliseconds or default" >&2; exit 2; }

skip() {
  echo "ha test skipped: $*"
  exit 0
}
[[ $(id -u) -eq 0 ]] || skip "it needs root (network, mount and PID namespaces, Corosync, Pacemaker)"
for tool in corosync pacemakerd crm crm_mon crm_resource ocf-tester unshare nsenter ip modprobe; do
  command -v "$tool" > /dev/null ||
    skip "no $tool here (scripts/setup.sh installs corosync, pacemaker, crmsh, resource-agents, kmod)"
done
[[ -d /usr/lib/ocf/resource.d/heartbeat ]] || skip "no resource agents in /usr/lib/ocf (resource-agents)"
probe=kvprobe$$
ip netns add "$probe" 2> /dev/null || skip "network namespaces cannot be made here"
ip netns del "$probe"
unshare --mount --pid --uts --fork true 2> /dev/null || skip "mount, PID and UTS namespaces cannot be made here"

if [[ -z $build ]]; then
  bash "$root/scripts/build.sh" kavetta plcsim printersim > /dev/null || { echo "build failed" >&2; exit 1; }
  build=$root/build
fi
build=$(cd "$build" && pwd)
source "$root/scripts/ha-lib.sh"

echo "== the agent alone"
bash "$root/scripts/ha-agent-test.sh" --build "$build"
case $? in
  0 | 77) ;;
  *) echo "ha test: the agent test failed"; exit 1 ;;
esac

work=$(mktemp -d /tmp/kavetta-ha.XXXXXX)
chmod 755 "$work"
prefix=kvha$$
net=10.253.$(($$ % 250))
standin_pids=()
declare -A init_pid=()
cleanup() {
  local n
  trap '' INT TERM
  for n in "${!init_pid[@]}"; do kill -KILL "${init_pid[$n]}" 2> /dev/null; done
  stop_standins
  sleep 0.3
  for n in hub n1 n2; do ip netns del "$prefix-$n" 2> /dev/null; done
  if [[ $keep -eq 1 ]]; then echo "work folder kept: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

fail() {
  echo "FAIL: $*"
  local n
  for n in "${!init_pid[@]}"; do
    echo "--- node n$n:"
    in_node "$n" crm_mon -1 2>&1 | tail -n 25
  done
  echo "--- event log (last lines):"
  event_messages "$storage/events.log" | tail -n 15
  exit 1
}

# The network: a bridge in the stand-ins' namespace, one veth pair to each node.
ip netns add "$prefix-hub"
ip -n "$prefix-hub" link set lo up
ip -n "$prefix-hub" link add br0 type bridge
ip -n "$prefix-hub" addr add "$net.10/24" dev br0
ip -n "$prefix-hub" link set br0 up
for n in 1 2; do
  ip netns add "$prefix-n$n"
  ip -n "$prefix-n$n" link set lo up
  ip -n "$prefix-hub" link add "v$n" type veth peer name eth0 netns "$prefix-n$n"
  ip -n "$prefix-hub" link set "v$n" master br0 up
  ip -n "$prefix-n$n" addr add "$net.$n/24" dev eth0
  ip -n "$prefix-n$n" link set eth0 up
done

start_standins "$work" "$net.10" 1500 "$prefix-hub"
# The shared storage, and where the cluster mounts it on the active node.
storage=$work/storage
mnt=$work/mnt/line1
mkdir -p "$storage" "$mnt"
make_instance "$storage" "$net.10" 9401

mkdir -p "$work/corosync" "$work/ocf/kavetta"
install -m 0755 "$root/packaging/ocf/gateway" "$work/ocf/kavetta/gateway"
{
  echo "totem {"
  echo "  version: 2"
  echo "  cluster_name: kavetta-ha-test"
  echo "  transport: knet"
  echo "  crypto_cipher: none"
  echo "  crypto_hash: none"
  [[ $token == default ]] || echo "  token: $token"
  echo "}"
  echo "nodelist {"
  for n in 1 2; do
    printf '  node {\n    ring0_addr: %s\n    name: n%s\n    nodeid: %s\n  }\n' "$net.$n" "$n" "$n"
  done
  echo "}"
  printf 'quorum {\n  provider: corosync_votequorum\n  two_node: 1\n}\n'
  printf 'logging {\n  to_stderr: yes\n  to_syslog: no\n  timestamp: on\n}\n'
} > "$work/corosync/corosync.conf"

in_node() {
  local n=$1
  shift
  nsenter -t "${init_pid[$n]}" -n -m -u -p -- env HOME=/root "$@"
}

# Starts node N: its namespaces, then Corosync and Pacemaker in them; its state survives a kill
# (as a disk does), its /run and /dev/shm do not.
node_up() {
  local n=$1 d=$work/n$1 outer child=""
  mkdir -p "$d/pacemaker/cib" "$d/pacemaker/pengine" "$d/pacemaker/blackbox" "$d/pacemaker/cores" \
    "$d/corosync" "$d/log"
  chown -R hacluster:haclient "$d/pacemaker" "$d/log"
  chmod -R u+rwX,g+rX,o-rwx "$d/pacemaker"
  ip netns exec "$prefix-n$n" unshare --mount --propagation private --uts --pid --fork --mount-proc \
    bash "$0" --node-init "$n" "$work" >> "$d/init.log" 2>&1 &
  outer=$!
  for _ in $(seq 50); do
    child=$(cat "/proc/$outer/task/$outer/children" 2> /dev/null)
    [[ -n $child ]] && break
    sleep 0.1
  done
  [[ -n $child ]] || fail "node n$n did not start"
  init_pid[$n]=${child%% *}
}

# Every process of node N, at once.
node_kill() {
  kill -KILL "${init_pid[$1]}"
  unset "init_pid[$1]"
}

both_online() {
  local n
  for n in 1 2; do
    in_node "$n" crm_mon -1 2> /dev/null | grep -q 'Online: \[ n1 n2 \]' || return 1
  done
}

wait_online() {
  for _ in $(seq 180); do
    both_online && return 0
    sleep 0.5
  done
  fail "the two nodes did not both come online within 90 s"
}

# The node the gateway runs on (1 or 2), nothing while it runs nowhere.
active_node() {
  local n
  for n in "${!init_pid[@]}"; do
    in_node "$n" crm_resource --locate --resource line1-gw 2> /dev/null |
      sed -n 's/.*is running on: n\([12]\).*/\1/p' | head -n 1
    return
  done
}

starts() { event_messages "$storage/events.log" | grep -c "Start Kavetta"; }

# Waits up to LIMIT s for the first answer of the run after RUNS starts, handed over after T0.
wait_answer() {
  local t0=$1 runs=$2 limit=$3 took=""
  for _ in $(seq $((limit * 5))); do
    took=$(first_answer_after "$work" "$storage/events.log" "$t0" "$runs")
    [[ -n $took ]] && { echo "$took"; return 0; }
    sleep 0.2
  done
  return 1
}

scenario_from=()
scenario_names=()
begin_scenario() {
  scenario_names+=("$1")
  scenario_from+=("$(last_raised "$work")")
}

echo "== two nodes ($net.1, $net.2), the stand-ins at $net.10"
started=$EPOCHSECONDS
node_up 1
node_up 2
wait_online
echo "both nodes online after $((EPOCHSECONDS - started)) s"
token_in_force=$(in_node 1 corosync-cmapctl -g runtime.config.totem.token | sed 's/.*= //')

# The test has no fencing device; a real pair must have one (docs/high-availability.md).
in_node 1 crm configure property stonith-enabled=false > /dev/null 2>&1 || fail "crm configure property"
# The documentation's configuration, with this machine's paths and addresses for the plant's,
# and the gateway of this build, run as root.
config=$(sed -n '/<!-- configuration tested by scripts\/ha-test.sh -->/,/^EOF$/p' \
  "$root/docs/high-availability.md" | sed -n "/^sudo crm configure <<'EOF'\$/,/^EOF\$/{/^sudo crm/d;/^EOF\$/d;p}")
[[ -n $config ]] || fail "no tested configuration block in docs/high-availability.md"
config=$(sed -e "s|device=/dev/drbd0|device=$storage|" -e "s|fstype=ext4|fstype=none options=bind|" \
  -e "s|/var/lib/kavetta/line1|$mnt|g" -e "s|ip=10.20.1.40|ip=$net.100|" \
  -e "s|params instance=|params user=root binary=$build/src/kavetta instance=|" <<< "$config")
echo "$config" > "$work/cluster-configuration.crm"
in_node 1 crm configure < "$work/cluster-configuration.crm" > "$work/crm-configure.log" 2>&1 ||
  fail "crm configure: $(cat "$work/crm-configure.log")"

t0=$EPOCHREALTIME
took=$(wait_answer "$t0" 0 90) || fail "the gateway did not start answering within 90 s"
first=$(active_node)
echo "line running on n$first, first answer $took s after the configuration"

kill_times=()
for ((k = 1; k <= kills; k++)); do
  begin_scenario "kill$k"
  sleep 3
  victim=$(active_node)
  [[ -n $victim ]] || fail "the gateway runs nowhere before kill $k"
  # The last of several kills with replayMaxAgeSec 0: the node that takes over reports what the
  # other one left instead of sending it again.
  replay=30
  if ((k == kills && kills > 1)); then
    replay=0
    sed -i 's/^replayMaxAgeSec = .*/replayMaxAgeSec = 0/' "$storage/Kavetta.ini"
  fi
  runs=$(starts)
  # At the worst moment: just after the printer got a job, before the gateway has its answer.
  sent=$(grep -c ' request ' "$work/printer.log")
  for _ in $(seq 1000); do
    (($(grep -c ' request ' "$work/printer.log") > sent)) && break
    sleep 0.01
  done
  t0=$EPOCHREALTIME
  node_kill "$victim"
  took=$(wait_answer "$t0" "$runs" 60) || fail "no takeover within 60 s of killing n$victim"
  now=$(active_node)
  echo "kill $k: n$victim killed, n$now answers after $took s (replayMaxAgeSec $replay)"
  sed -i 's/^replayMaxAgeSec = .*/replayMaxAgeSec = 30/' "$storage/Kavetta.ini"
  kill_times+=("$took")
  node_up "$victim"
  wait_online
done

begin_scenario switch-over
sleep 3
from=$(active_node)
to=$((3 - from))
runs=$(starts)
t0=$EPOCHREALTIME
in_node "$from" crm resource move line1 "n$to" > /dev/null 2>&1 || fail "crm resource move"
switch=$(wait_answer "$t0" "$runs" 60) || fail "no answer from n$to within 60 s of the move"
[[ $(active_node) == "$to" ]] || fail "the move ended on n$(active_node), not n$to"
in_node "$to" crm resource clear line1 > /dev/null 2>&1 || fail "crm resource clear"
echo "switch-over n$from -> n$to: first answer after $switch s"

begin_scenario gateway
sleep 3
home=$(active_node)
restarts=()
for round in 1 2 3; do
  runs=$(starts)
  t0=$EPOCHREALTIME
  # shellcheck disable=SC2016 # expanded inside the node
  in_node "$home" sh -c 'kill -KILL $(cut -d" " -f1 /run/kavetta/line1.cluster-pid)' ||
    fail "no gateway pid on n$home"
  took=$(wait_answer "$t0" "$runs" 60) || fail "the killed gateway was not replaced within 60 s"
  restarts+=("$took")
  where=$(active_node)
  if ((round < 3)); then
    [[ $where == "$home" ]] || fail "after gateway kill $round it runs on n$where, not in place on n$home"
  else
    [[ $where != "$home" ]] || fail "after the third gateway kill it still runs on n$home (migration-threshold 3)"
  fi
  sleep 2
done
echo "gateway killed 3 times: restarted in place on n$home after ${restarts[0]} s and ${restarts[1]} s, moved to n$where after ${restarts[2]} s"
in_node "$where" crm resource cleanup line1 > /dev/null 2>&1

begin_scenario broken
sleep 3
home=$(active_node)
cp "$storage/Kavetta.zelb" "$work/Kavetta.zelb.good"
sed -i 's/^"Port",/"Prot",/' "$storage/Kavetta.zelb"
validate=$(in_node "$home" crm_resource --validate --resource line1-gw 2>&1)
[[ $validate == *'unknown record "Prot"'* ]] || fail "crm_resource --validate did not name the problem: $validate"
echo "crm_resource --validate: $(grep -m1 -o 'configuration check:.*' <<< "$validate")"
runs=$(starts)
timeout 60 nsenter -t "${init_pid[$home]}" -n -m -u -p -- env HOME=/root crm resource restart line1-gw > /dev/null 2>&1
shown=""
for _ in $(seq 60); do
  shown=$(in_node "$home" crm_mon -1 2>&1 | grep -m1 "line1-gw start on .*'not configured'")
  [[ -n $shown ]] && break
  sleep 0.5
done
[[ $shown == *'unknown record "Prot"'* ]] || fail "crm_mon shows no failed start naming the problem"
echo "crm_mon:${shown#*\*}"
[[ -z $(active_node) ]] || fail "the gateway runs with a broken configuration"
cp "$work/Kavetta.zelb.good" "$storage/Kavetta.zelb"
t0=$EPOCHREALTIME
in_node "$home" crm resource cleanup line1-gw > /dev/null 2>&1
took=$(wait_answer "$t0" "$runs" 60) || fail "the repaired configuration did not start within 60 s"
echo "repaired and cleaned up: answering again after $took s"

# Every request raised until now must end somewhere.
begin_scenario end
last=$(last_raised "$work")
for _ in $(seq 100); do
  account "$work" "$storage/events.log" "all:0:$last" | grep -q ' lost-unseen 0 ' && break
  sleep 0.2
done
ranges=()
for ((i = 0; i < ${#scenario_names[@]} - 1; i++)); do
  ranges+=("${scenario_names[i]}:${scenario_from[i]}:${scenario_from[i + 1]}")
done
echo "== requests (raised while each scenario ran)"
ranges=("before:0:${scenario_from[0]}" "${ranges[@]}" "all:0:$last")
total=""
switch_doubles=0
while read -r line; do
  echo "$line"
  [[ $line == all\ * ]] && total=$line
  [[ $line == switch-over\ * ]] && switch_doubles=$(awk '{ for (i = 1; i < NF; i++) if ($i == "printed-twice") print $(i + 1) }' <<< "$line")
done < <(account "$work" "$storage/events.log" "${ranges[@]}")
field() { awk -v k="$1" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' <<< "$total"; }

sorted=$(printf '%s\n' "${kill_times[@]}" | sort -n)
median=$(awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }' <<< "$sorted")
echo "kill takeovers: $(tr '\n' ' ' <<< "$sorted")(min $(head -n 1 <<< "$sorted"), median $median, max $(tail -n 1 <<< "$sorted"))"
token_s=$(awk -v t="$token_in_force" 'BEGIN { printf "%g", t / 1000 }')
echo "ha takeover: kill $median s (token $token_s s), switch-over $switch s, requests $(field requests), lost unseen $(field lost-unseen), unmarked doubles $(field unmarked)"
# A planned switch-over waits for a quiet moment: nothing may be printed twice.
[[ $switch_doubles == 0 ]] || fail "the planned switch-over printed $switch_doubles jobs twice"
[[ $(field lost-unseen) == 0 && $(field unmarked) == 0 && $(field requests) -gt 0 ]] || fail "requests lost or printed twice unmarked: $total"
