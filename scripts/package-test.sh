#!/usr/bin/env bash
# As root on a Debian machine: builds the package, installs it with dpkg -i, checks what it
# installed and that the installed programs run, removes it with dpkg --purge and checks that
# nothing of it is left but instance data (folders under /var/lib/kavetta) and its system user.
#   scripts/package-test.sh [--no-build] [--e2e]
#     --no-build   test the package already in build/
#     --e2e        also run the installed gateway headless in a temporary instance folder
#                  against the installed stand-ins: a PLC request reaches the printer stand-in
#                  and its answer the PLC stand-in; SIGTERM ends it with status 0. Where
#                  systemd runs, the same once more as the service kavetta@pkgtest.
# Any kavetta package already installed is purged first. A machine-wide options store that was
# there before (/etc/xdg/Morvanta) is put back at the end, since the purge removes it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=1
e2e=0
for arg in "$@"; do
  case "$arg" in
    --no-build) build=0 ;;
    --e2e) e2e=1 ;;
    *) echo "usage: $0 [--no-build] [--e2e]" >&2; exit 2 ;;
  esac
done
[[ $(id -u) -eq 0 ]] || { echo "package-test.sh: run as root" >&2; exit 2; }

fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

[[ $build -eq 0 ]] || "$root/scripts/package.sh"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/CMakeCache.txt")
deb="$root/build/kavetta_${version}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || fail "no package $deb"

installed() { [[ "$(dpkg-query -W -f='${Status}' kavetta 2>/dev/null || true)" == "install ok installed" ]]; }
known() { dpkg-query -W kavetta >/dev/null 2>&1; }

tmp=$(mktemp -d)
if [[ -e /etc/xdg/Morvanta ]]; then
  tar -C /etc/xdg -cpf "$tmp/store.tar" Morvanta
fi
pids=()
instances=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if known; then dpkg --purge kavetta >/dev/null 2>&1 || true; fi
  for i in "${instances[@]}"; do rm -rf "/var/lib/kavetta/$i"; done
  rmdir /var/lib/kavetta 2>/dev/null || true
  if [[ -f "$tmp/store.tar" ]]; then
    rm -rf /etc/xdg/Morvanta
    tar -C /etc/xdg -xpf "$tmp/store.tar"
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# Waits for "listening ... port=N" in a stand-in's output and prints N.
listening_port() {
  local log=$1
  for _ in $(seq 100); do
    local port
    port=$(sed -n 's/.*listening.* port=\([0-9]*\).*/\1/p' "$log" | head -n 1)
    [[ -n "$port" ]] && { echo "$port"; return 0; }
    sleep 0.1
  done
  cat "$log" >&2
  return 1
}

if known; then
  step "purging the kavetta package left installed"
  dpkg --purge kavetta >/dev/null
fi

step "install $deb"
if ! dpkg -i "$deb"; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -f -y -qq --no-install-recommends >/dev/null
fi
installed || fail "kavetta is not installed"

step "installed files"
mapfile -t listed < <(dpkg -L kavetta)
for f in /usr/bin/kavetta /usr/bin/plcsim /usr/bin/printersim \
  /lib/systemd/system/kavetta@.service /usr/lib/sysusers.d/kavetta.conf \
  /usr/share/applications/kavetta.desktop /usr/share/mime/packages/kavetta-zelb.xml \
  /usr/share/icons/hicolor/scalable/apps/kavetta.svg /usr/share/kavetta/examples/Kavetta.zelb \
  /usr/share/doc/kavetta/copyright /usr/share/doc/kavetta/changelog.gz /usr/share/doc/kavetta/service.md; do
  printf '%s\n' "${listed[@]}" | grep -qxF "$f" || fail "dpkg -L does not list $f"
done
files=()
for f in "${listed[@]}"; do
  [[ -e "$f" ]] || fail "$f is listed but missing"
  [[ -d "$f" ]] || files+=("$f")
done
if [[ -d "$root/tools/manager" ]]; then
  extra=$(printf '%s\n' "${files[@]}" | grep '^/usr/bin/' | grep -vxE '/usr/bin/(kavetta|plcsim|printersim)' || true)
  [[ -n "$extra" ]] || fail "the manager stand-in is not installed"
fi
echo "${#files[@]} files"

step "system user and the machine-wide options store"
getent passwd kavetta >/dev/null || fail "no user kavetta"
getent group kavetta >/dev/null || fail "no group kavetta"
[[ "$(stat -c '%U:%G %a' /etc/xdg/Morvanta)" == "root:kavetta 2775" ]] ||
  fail "/etc/xdg/Morvanta is $(stat -c '%U:%G %a' /etc/xdg/Morvanta)"
[[ "$(stat -c '%G' /etc/xdg/Morvanta/Kavetta.ini)" == kavetta ]] ||
  fail "/etc/xdg/Morvanta/Kavetta.ini is $(stat -c '%U:%G %a' /etc/xdg/Morvanta/Kavetta.ini)"
runuser -u kavetta -- test -w /etc/xdg/Morvanta/Kavetta.ini || fail "the store is not writable for kavetta"

step "desktop entry and file type"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate /usr/share/applications/kavetta.desktop
fi
if command -v update-mime-database >/dev/null; then
  [[ -f /usr/share/mime/application/x-kavetta-zelb.xml ]] || fail "the .zelb type is not in the MIME database"
fi

step "service unit"
if command -v systemd-analyze >/dev/null; then
  cp /lib/systemd/system/kavetta@.service "$tmp/kavetta@pkgtest.service"
  systemd-analyze verify "$tmp/kavetta@pkgtest.service"
fi
# Enabling works without a running systemd too; the purge must take the link away.
systemctl enable kavetta@pkgtest.service 2>&1 | grep -v '^Created symlink' || true
[[ -L /etc/systemd/system/multi-user.target.wants/kavetta@pkgtest.service ]] || fail "enable made no link"

step "installed programs"
out=$(kavetta --version) || fail "kavetta --version failed"
[[ "$out" == "kavetta $version" ]] || fail "kavetta --version printed '$out'"
kavetta --help | grep -q KAVETTA_HOME || fail "kavetta --help lacks KAVETTA_HOME"

printersim --port 0 --reply "OK %n" > "$tmp/printer.log" 2>&1 &
pids+=($!)
printer_port=$(listening_port "$tmp/printer.log") || fail "printersim does not listen"
exec 3<>"/dev/tcp/127.0.0.1/$printer_port"
printf 'Content-Length: 5\n\nhello' >&3
reply=$(timeout 5 head -c 4 <&3) || true
exec 3<&-
[[ "$reply" == "OK 5" ]] || fail "printersim answered '$reply'"

plcsim serve --port 0 --module PkgTest < /dev/null > "$tmp/plc.log" 2>&1 &
pids+=($!)
plc_port=$(listening_port "$tmp/plc.log") || fail "plcsim does not listen"
plcsim write --port "$plc_port" PkgTest.SendData 'from the test' >/dev/null
plcsim read --port "$plc_port" PkgTest.SendData | grep -q 'from the test' || fail "plcsim did not keep a value"

# An instance folder with a configuration for the two stand-ins; sets dir.
make_instance() {
  local name=$1
  dir=/var/lib/kavetta/$1
  instances+=("$name")
  install -d -o kavetta -g kavetta -m 0775 /var/lib/kavetta "$dir"
  printf '"%s","%s"\r\n' ServerPath "" Netid 127.0.0.1 Port "$plc_port" Modulname PkgTest \
    Maschinenname "package test" > "$dir/Kavetta.zelb"
  printf '"XML-Export",0\r\n' >> "$dir/Kavetta.zelb"
  printf '"%s","%s"\r\n' RemoteHost 127.0.0.1 RemotePort "$printer_port" >> "$dir/Kavetta.zelb"
  printf '"ServerTest",0\r\n"Status",1\r\n"Timeout","10"\r\n"StaticConnect",1\r\n' >> "$dir/Kavetta.zelb"
  printf '"ResetOnError",1\r\n"UTF8Codierung",0\r\n"AutoConnectOff",#FALSE#\r\n' >> "$dir/Kavetta.zelb"
  chown kavetta:kavetta "$dir/Kavetta.zelb"
}

# A request as the PLC makes it; the printer stand-in answers "OK 5".
request_round_trip() {
  local answer
  if ! answer=$(plcsim request --port "$plc_port" --module PkgTest --data "hello" --timeout-ms 20000); then
    echo "the request did not come back: $answer" >&2
    return 1
  fi
  grep -q 'OK 5' <<< "$answer" || { echo "the PLC got: $answer" >&2; return 1; }
}

if [[ $e2e -eq 1 ]]; then
  step "installed gateway, headless, against the stand-ins"
  make_instance pkgtest-hand
  run="$tmp/run"
  install -d -o kavetta -g kavetta -m 0700 "$run"
  # setpriv and env replace themselves, so $! is the gateway and its exit status is its own.
  setpriv --reuid=kavetta --regid=kavetta --init-groups \
    env -u DISPLAY -u WAYLAND_DISPLAY HOME="$dir" KAVETTA_HOME="$dir" KAVETTA_HEADLESS=1 \
    KAVETTA_EVENTLOG="$dir/events.txt" XDG_RUNTIME_DIR="$run" XDG_CONFIG_HOME="$dir/.config" \
    /usr/bin/kavetta > "$tmp/gateway.log" 2>&1 &
  gateway=$!
  pids+=("$gateway")
  request_round_trip || { cat "$tmp/gateway.log" >&2; fail "headless round trip"; }
  grep -q 'hello' "$tmp/printer.log" || fail "the printer stand-in saw no request"
  kill -TERM "$gateway"
  status=0
  wait "$gateway" || status=$?
  [[ $status -eq 0 ]] || { cat "$tmp/gateway.log" >&2; fail "the gateway ended with $status on SIGTERM"; }
  [[ -s "$dir/Socketcomm-PkgTest-.dat" ]] || fail "no communication log in $dir"

  if [[ -d /run/systemd/system ]]; then
    step "the same as the service kavetta@pkgtest"
    make_instance pkgtest
    systemctl start kavetta@pkgtest.service || { journalctl -u kavetta@pkgtest -n 50 >&2; fail "start"; }
    request_round_trip || { journalctl -u kavetta@pkgtest -n 50 >&2; fail "service round trip"; }
    systemctl stop kavetta@pkgtest.service
    result=$(systemctl show -p Result --value kavetta@pkgtest.service)
    [[ "$result" == success ]] || fail "the service ended with $result"
  fi
fi

step "purge"
dpkg --purge kavetta >/dev/null
known && fail "dpkg still knows kavetta"
for f in "${files[@]}"; do
  [[ ! -e "$f" ]] || fail "$f is left after the purge"
done
[[ ! -e /etc/xdg/Morvanta ]] || fail "/etc/xdg/Morvanta is left: $(ls -A /etc/xdg/Morvanta)"
left=$(find /etc /usr /opt /srv /var -xdev \
  \( -path /var/lib/kavetta -prune \) -o \
  \( -iname '*kavetta*' -o -iname '*zelb*' -o -name Morvanta -o -user kavetta -o -group kavetta \) -print \
  2>/dev/null || true)
[[ -z "$left" ]] || fail "left after the purge: $left"
echo "package-test: passed"
