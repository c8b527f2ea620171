#!/usr/bin/env bash
# As root on a Debian machine: the Ansible role under deploy/ansible checked with ansible-lint,
# then the example playbook (deploy/ansible/site.yml) run against this machine itself
# (connection: local) with the package that scripts/package.sh builds:
#   1. the first run installs the package, lays out the instances, applies their settings and
#      writes the Prometheus targets, and reports changes;
#   2. a second run reports no change;
#   3. a printer port changed in the inventory changes exactly that record: the instance's
#      Kavetta.zelb differs from before in that line only, and it is byte for byte what the
#      gateway's writer writes (kavetta --settings reads it back unchanged);
#   4. a bad value in the inventory fails the run before anything is written: every instance
#      file is as it was;
#   5. an empty list with kavetta_remove_unlisted removes every instance; the package is purged.
# Where systemd is not PID 1 (a container, CI), the role's service steps are skipped with
# kavetta_manage_services=false, and the test says so. Prints how long each run took.
#   scripts/ansible-test.sh [--no-build] [--instances N] [--lint-only]
#     --no-build     use the package already in build/
#     --instances N  lines on the machine (default 4)
#     --lint-only    ansible-lint only (needs no root)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=1
count=4
lint_only=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --no-build) build=0 ;;
    --instances) count=$2; shift ;;
    --lint-only) lint_only=1 ;;
    *) echo "usage: $0 [--no-build] [--instances N] [--lint-only]" >&2; exit 2 ;;
  esac
  shift
done

fail() { echo "ansible-test: FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

step "ansible-lint (offline)"
(cd "$root/deploy/ansible" && ansible-lint --offline --nocolor -q)
[[ $lint_only -eq 0 ]] || exit 0
[[ $(id -u) -eq 0 ]] || { echo "ansible-test.sh: run as root (or --lint-only)" >&2; exit 2; }

[[ $build -eq 0 ]] || "$root/scripts/package.sh" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/CMakeCache.txt")
deb="$root/build/kavetta_${version}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || fail "no package $deb"
package=$(dpkg-deb -f "$deb" Package)

tmp=$(mktemp -d)
names=()
for ((i = 1; i <= count; i++)); do names+=("rollout$i"); done
cleanup() {
  for n in "${names[@]}"; do rm -rf "/var/lib/kavetta/$n"; done
  dpkg --purge "$package" >/dev/null 2>&1 || true
  rm -rf /var/cache/kavetta-deploy "$tmp"
}
trap cleanup EXIT
for n in "${names[@]}"; do
  [[ ! -e "/var/lib/kavetta/$n" ]] || fail "/var/lib/kavetta/$n exists already; not touching it"
done

services=true
if [[ ! -d /run/systemd/system ]]; then
  services=false
  echo "systemd is not PID 1 here: the role's service steps are skipped (kavetta_manage_services=false)"
fi

# The inventory: this machine with count lines; port1 is the first line's printer port, bad a
# value put into the second line's settings.
inventory() {
  local port1=$1 bad=${2:-}
  cat <<EOF
kavetta:
  hosts:
    plant-pc:
      ansible_connection: local
      ansible_python_interpreter: /usr/bin/python3
      kavetta_package_file: $deb
      kavetta_package_name: $package
      kavetta_manage_services: $services
      kavetta_status_address: 127.0.0.1
      kavetta_prometheus_targets_dir: $tmp/targets
      kavetta_prometheus_labels: {site: test}
      kavetta_remove_unlisted: ${3:-false}
      kavetta_default_configuration: {Netid: 127.0.0.1, Port: 48898}
      kavetta_default_options: {safety.reportPeerFailures: true}
      kavetta_instances:
EOF
  [[ ${3:-false} == true ]] && { echo "        []"; return; }
  local i=1
  for n in "${names[@]}"; do
    local port=9100 extra=""
    [[ $i -eq 1 ]] && port=$port1
    [[ $i -eq 2 && -n "$bad" ]] && extra=", $bad"
    echo "        - {name: $n, configuration: {Modulname: Line$i, RemoteHost: 127.0.0.1, RemotePort: $port$extra}}"
    i=$((i + 1))
  done
}
mkdir -p "$tmp/targets"

# Runs the playbook on an inventory; the recap's changed count in $changed, the seconds in $took.
play() {
  local start status=0
  start=$(date +%s%N)
  ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0 ansible-playbook -i "$1" \
    "$root/deploy/ansible/site.yml" > "$tmp/play.log" 2>&1 || status=$?
  took=$(awk -v ns=$(($(date +%s%N) - start)) 'BEGIN { printf "%.1f", ns / 1e9 }')
  [[ $status -eq 0 ]] || return 1
  changed=$(sed -n 's/^plant-pc *: .*changed=\([0-9]*\).*/\1/p' "$tmp/play.log")
  [[ -n "$changed" ]] || { cat "$tmp/play.log"; fail "no recap"; }
}
snapshot() {
  for n in "${names[@]}"; do sha256sum "/var/lib/kavetta/$n/Kavetta.zelb" "/var/lib/kavetta/$n/Kavetta.ini"; done
}

step "first run: $count lines"
inventory 9100 > "$tmp/hosts.yml"
play "$tmp/hosts.yml" || { cat "$tmp/play.log"; fail "the first run failed"; }
first=$took
[[ $changed -gt 0 ]] || fail "the first run reported no change"
for n in "${names[@]}"; do
  [[ -f "/var/lib/kavetta/$n/Kavetta.zelb" ]] || fail "no instance $n"
  [[ $(stat -c %U "/var/lib/kavetta/$n/Kavetta.zelb") == kavetta ]] || fail "$n: Kavetta.zelb is not the service user's"
  grep -q '^reportPeerFailures = true' "/var/lib/kavetta/$n/Kavetta.ini" || fail "$n: the options were not applied"
done
grep -q $'^"Modulname","Line2"\r$' /var/lib/kavetta/rollout2/Kavetta.zelb || fail "rollout2: Modulname not applied"
targets="$tmp/targets/kavetta-plant-pc.yml"
[[ $(grep -c '127.0.0.1:94' "$targets") -eq $count ]] || { cat "$targets"; fail "the targets file lacks endpoints"; }
grep -q '^port = 9402$' /var/lib/kavetta/rollout2/Kavetta.ini || fail "rollout2: status port 9402 not set"
echo "   changed=$changed in ${first}s"

step "second run: nothing changes"
before=$(snapshot)
play "$tmp/hosts.yml" || { cat "$tmp/play.log"; fail "the second run failed"; }
second=$took
[[ $changed -eq 0 ]] || { cat "$tmp/play.log"; fail "the second run changed $changed"; }
[[ "$(snapshot)" == "$before" ]] || fail "the second run wrote a file"
echo "   changed=0 in ${second}s"

step "a changed printer port changes that record only"
cp /var/lib/kavetta/rollout1/Kavetta.zelb "$tmp/before.zelb"
inventory 9200 > "$tmp/hosts.yml"
play "$tmp/hosts.yml" || { cat "$tmp/play.log"; fail "the run with the new port failed"; }
[[ $changed -eq 1 ]] || { cat "$tmp/play.log"; fail "changed=$changed, not 1"; }
sed $'s/^"RemotePort","9100"\r$/"RemotePort","9200"\r/' "$tmp/before.zelb" > "$tmp/expected.zelb"
cmp "$tmp/expected.zelb" /var/lib/kavetta/rollout1/Kavetta.zelb || fail "Kavetta.zelb differs from the old one in more than RemotePort"
# The gateway's reader and writer take it back unchanged.
out=$(kavetta --settings set --json /var/lib/kavetta/rollout1/Kavetta.zelb RemotePort=9200)
[[ "$out" == *'"changed":false'* ]] || fail "the gateway writes it otherwise: $out"
echo "   changed=1 in ${took}s"

step "a bad value fails the run before anything is written"
before=$(snapshot)
inventory 9300 "RemoteHost: '', ServerTest: 0" > "$tmp/hosts.yml"
if play "$tmp/hosts.yml"; then fail "the run with a bad value succeeded"; fi
grep -q 'RemoteHost: RemoteHost is empty' "$tmp/play.log" || { cat "$tmp/play.log"; fail "the refusal does not name the record"; }
[[ "$(snapshot)" == "$before" ]] || fail "a file was written although the run failed"
echo "   refused in ${took}s, every file as it was"

step "an empty list with kavetta_remove_unlisted removes the instances"
inventory 9100 "" true > "$tmp/hosts.yml"
play "$tmp/hosts.yml" || { cat "$tmp/play.log"; fail "the removing run failed"; }
for n in "${names[@]}"; do [[ ! -e "/var/lib/kavetta/$n" ]] || fail "$n is still there"; done

echo "ansible-test: passed ($count lines: first run ${first}s, second run ${second}s)"
