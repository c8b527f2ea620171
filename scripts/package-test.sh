#!/usr/bin/env bash
# As root on a Debian machine: builds the packages (kavetta, the gateway without widgets, and
# kavetta-window, its window), checks them with lintian (no error, no hardening tag even at the
# info level), installs kavetta alone with dpkg -i and checks that nothing it depends on, however
# indirectly, is a widget or GUI library, then kavetta-window; checks what each installed (PATH
# holds only the operator's programs, each with its manual page), runs the installed gateway
# end to end, removes both with dpkg --purge and checks that nothing of them is left but
# instance data (folders under /var/lib/kavetta) and the system user.
#   scripts/package-test.sh [--no-build] [--no-e2e]
#     --no-build   test the package already in build/
#     --no-e2e     skip the runs of the installed gateway
# The runs: the installed gateway headless, as the user kavetta, against the installed
# stand-ins (plcsim serve, printersim --port 0): a PLC request reaches the printer stand-in
# and its answer the PLC stand-in, and SIGTERM ends it with status 0; an instance laid out by
# kavetta-instance (refusing to overwrite one, or a bad name) prints a label, started without
# XDG_RUNTIME_DIR as a start by hand is, and says nothing on stderr; the same with the
# printer keeping silent, SIGTERM coming while the request is out; a missing and an empty
# instance folder (the empty configuration, said so in the event log); a read-only instance
# folder (the round trip still works, the communication log's failure is reported); the
# window module is found where the package puts it. Where systemd runs, the round trip once
# more as the service kavetta@pkgtest.
# Any kavetta package already installed is purged first. A machine-wide options store that was
# there before (/etc/xdg/Morvanta) is put back at the end, since the purge removes it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=1
e2e=1
for arg in "$@"; do
  case "$arg" in
    --no-build) build=0 ;;
    --no-e2e) e2e=0 ;;
    *) echo "usage: $0 [--no-build] [--no-e2e]" >&2; exit 2 ;;
  esac
done
[[ $(id -u) -eq 0 ]] || { echo "package-test.sh: run as root" >&2; exit 2; }

fail() { echo "package-test: FAIL: $*" >&2; exit 1; }
step() { echo "== $*"; }

[[ $build -eq 0 ]] || "$root/scripts/package.sh"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/build/CMakeCache.txt")
deb="$root/build/kavetta_${version}_$(dpkg --print-architecture).deb"
window_deb="$root/build/kavetta-window_${version}_$(dpkg --print-architecture).deb"
[[ -f "$deb" ]] || fail "no package $deb"
[[ -f "$window_deb" ]] || fail "no package $window_deb"

step "lintian"
# lintian warns about running as root; the check itself is the same.
tags=$(lintian -I "$deb" "$window_deb" 2>&1 | grep -v 'running with root privileges' || true)
[[ -z "$tags" ]] || echo "$tags"
! grep -qE '^E: |hardening' <<< "$tags" || fail "lintian: errors or hardening tags"

# The stand-ins are the package's own programs, not in PATH.
plcsim=/usr/lib/kavetta/plcsim
printersim=/usr/lib/kavetta/printersim

installed() { [[ "$(dpkg-query -W -f='${Status}' "${1:-kavetta}" 2>/dev/null || true)" == "install ok installed" ]]; }
known() { dpkg-query -W "${1:-kavetta}" >/dev/null 2>&1; }
purge_all() { dpkg --purge kavetta-window kavetta >/dev/null; }

tmp=$(mktemp -d)
# The gateway runs as kavetta and keeps its runtime folders below this one.
chmod 0711 "$tmp"
if [[ -e /etc/xdg/Morvanta ]]; then
  tar -C /etc/xdg -cpf "$tmp/store.tar" Morvanta
fi
pids=()
instances=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if known || known kavetta-window; then purge_all 2>&1 || true; fi
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

if known || known kavetta-window; then
  step "purging the kavetta packages left installed"
  purge_all
fi

# dpkg -i, and what the package needs from the archive when the machine lacks it.
install_deb() {
  if ! dpkg -i "$1"; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -f -y -qq --no-install-recommends >/dev/null
  fi
}

step "install $deb alone"
install_deb "$deb"
installed || fail "kavetta is not installed"
installed kavetta-window && fail "kavetta-window came with kavetta"
# Everything kavetta pulls in, however indirectly: no widget or GUI library of Qt, no X.
mapfile -t direct < <(dpkg-query -W -f='${Depends}' kavetta | tr ',' '\n' | sed 's/^ *//; s/[ (|].*//' | grep .)
pulled=$(apt-cache depends --recurse --important "${direct[@]}" 2>/dev/null | grep -E '^[a-z0-9]' | sort -u)
widgets=$(grep -E '^(libqt6(widgets|gui|opengl)[0-9]|libx11-|libxcb[0-9-]|libgl[0-9x])' <<< "$pulled" || true)
[[ -z "$widgets" ]] || fail "kavetta pulls in $(tr '\n' ' ' <<< "$widgets")"
mapfile -t server_listed < <(dpkg -L kavetta)
printf '%s\n' "${server_listed[@]}" | grep -qE 'kavetta-window\.so|\.desktop$|mime/packages|\.svg$' &&
  fail "kavetta holds a part of the window"

step "install $window_deb"
install_deb "$window_deb"
installed kavetta-window || fail "kavetta-window is not installed"
[[ "$(dpkg-query -W -f='${Depends}' kavetta-window)" == *"kavetta (= $version)"* ]] ||
  fail "kavetta-window does not depend on kavetta $version"

step "installed files"
mapfile -t listed < <(dpkg -L kavetta kavetta-window | grep .)
for f in "$plcsim" "$printersim" /usr/share/kavetta/examples/Kavetta.ini \
  /lib/systemd/system/kavetta@.service /usr/lib/sysusers.d/kavetta.conf \
  /usr/share/applications/kavetta.desktop /usr/share/mime/packages/kavetta-zelb.xml \
  /usr/share/icons/hicolor/scalable/apps/kavetta.svg /usr/share/kavetta/examples/Kavetta.zelb \
  /usr/share/doc/kavetta/copyright /usr/share/doc/kavetta/changelog.gz /usr/share/doc/kavetta/README.md \
  /usr/share/doc/kavetta-window/copyright /usr/share/doc/kavetta-window/changelog.gz \
  /usr/share/doc/kavetta/docs/service.md /usr/share/doc/kavetta/docs/images/main-window.png \
  /usr/lib/ocf/resource.d/kavetta/gateway; do
  printf '%s\n' "${listed[@]}" | grep -qxF "$f" || fail "dpkg -L does not list $f"
done
window_module=$(dpkg -L kavetta-window | grep -xE '/usr/lib/(.*/)?kavetta/kavetta-window\.so' || true)
[[ -n "$window_module" ]] || fail "dpkg -L kavetta-window lists no window module kavetta-window.so"
files=()
for f in "${listed[@]}"; do
  [[ -e "$f" ]] || fail "$f is listed but missing"
  [[ -d "$f" ]] || files+=("$f")
done
in_path=$(printf '%s\n' "${files[@]}" | sed -n 's|^/usr/s\{0,1\}bin/||p' | sort | tr '\n' ' ')
[[ "$in_path" == "kavetta kavetta-instance kavetta-manager " ]] || fail "PATH gets: $in_path"
for p in $in_path; do
  printf '%s\n' "${files[@]}" | grep -qxF "/usr/share/man/man1/$p.1.gz" || fail "no manual page for $p"
done
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
  [[ -f /usr/share/mime/application/x-zelb.xml ]] || fail "the .zelb type is not in the MIME database"
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

mkdir "$tmp/printed"
"$printersim" --port 0 --reply "OK %n" --save "$tmp/printed" > "$tmp/printer.log" 2>&1 &
pids+=($!)
printer_port=$(listening_port "$tmp/printer.log") || fail "printersim does not listen"
exec 3<>"/dev/tcp/127.0.0.1/$printer_port"
printf 'Content-Length: 5\n\nhello' >&3
reply=$(timeout 5 head -c 4 <&3) || true
exec 3<&-
[[ "$reply" == "OK 5" ]] || fail "printersim answered '$reply'"

# One module per gateway run below, so that a request cut short in one run leaves nothing
# behind for the next.
"$plcsim" serve --port 0 --module PkgTest --module PkgCut --module PkgRo --module PkgSvc --module PkgInst \
  < /dev/null > "$tmp/plc.log" 2>&1 &
pids+=($!)
plc_port=$(listening_port "$tmp/plc.log") || fail "plcsim does not listen"
"$plcsim" write --port "$plc_port" PkgTest.SendData 'from the test' >/dev/null
"$plcsim" read --port "$plc_port" PkgTest.SendData | grep -q 'from the test' || fail "plcsim did not keep a value"

# A configuration for the PLC stand-in's module $2 and the printer on port $3, in folder $1.
write_configuration() {
  local file=$1/Kavetta.zelb
  {
    printf '"%s","%s"\r\n' ServerPath "" Netid 127.0.0.1 Port "$plc_port" Modulname "$2" \
      Maschinenname "package test"
    printf '"XML-Export",0\r\n'
    printf '"%s","%s"\r\n' RemoteHost 127.0.0.1 RemotePort "$3"
    printf '"ServerTest",0\r\n"Status",1\r\n"Timeout","10"\r\n"StaticConnect",1\r\n'
    printf '"ResetOnError",1\r\n"UTF8Codierung",0\r\n"AutoConnectOff",#FALSE#\r\n'
  } > "$file"
}

# Instance folder /var/lib/kavetta/$1 owned by kavetta, with a configuration for module $2 and
# the printer on port $3 (none without $2); sets dir.
make_instance() {
  dir=/var/lib/kavetta/$1
  instances+=("$1")
  install -d -o kavetta -g kavetta -m 0775 /var/lib/kavetta "$dir"
  if [[ -n "${2:-}" ]]; then
    write_configuration "$dir" "$2" "$3"
    chown kavetta:kavetta "$dir/Kavetta.zelb"
  fi
}

# A request as the PLC of module $1 makes it, with the data $2 (default "hello"); the printer
# stand-in answers "OK <length>" (default "OK 5").
request_round_trip() {
  local answer
  if ! answer=$("$plcsim" request --port "$plc_port" --module "$1" --data "${2:-hello}" --timeout-ms 20000); then
    echo "the request did not come back: $answer" >&2
    return 1
  fi
  grep -q "${3:-OK 5}" <<< "$answer" || { echo "the PLC got: $answer" >&2; return 1; }
}

# Starts the installed gateway headless as the user kavetta with the program folder $1 (which
# need not exist); sets gateway (its process id), events (its event log) and gateway_log.
# With "by-hand" as $2 it has no runtime folder of its own (XDG_RUNTIME_DIR), as after sudo.
start_gateway() {
  local home=$1 name
  name=$(basename "$home")
  local run="$tmp/run-$name"
  install -d -o kavetta -g kavetta -m 0700 "$run"
  events="$run/events.txt"
  gateway_log="$tmp/gateway-$name.log"
  local runtime=(XDG_RUNTIME_DIR="$run")
  [[ "${2:-}" != by-hand ]] || runtime=(-u XDG_RUNTIME_DIR)
  # setpriv and env replace themselves, so $! is the gateway and its exit status is its own.
  setpriv --reuid=kavetta --regid=kavetta --init-groups \
    env -u DISPLAY -u WAYLAND_DISPLAY -u NOTIFY_SOCKET "${runtime[@]}" HOME="$run" KAVETTA_HOME="$home" \
    KAVETTA_HEADLESS=1 KAVETTA_EVENTLOG="$events" \
    XDG_CONFIG_HOME="$run/.config" /usr/bin/kavetta > "$gateway_log" 2>&1 &
  gateway=$!
  pids+=("$gateway")
}

# SIGTERM: the gateway runs its unload and ends with status 0.
stop_gateway() {
  kill -TERM "$gateway"
  local status=0
  wait "$gateway" || status=$?
  [[ $status -eq 0 ]] || { cat "$gateway_log" "$events" >&2 2>/dev/null; fail "the gateway ended with $status on SIGTERM"; }
}

# Waits up to 10 s for a line holding the text $2 in the file $1.
wait_for_line() {
  for _ in $(seq 100); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "no line with '$2' in $1:" >&2
  cat "$1" >&2 2>/dev/null || true
  return 1
}

# The communication log $1 holds records and ends with a whole one.
check_comm_log() {
  [[ -s "$1" ]] || fail "no communication log $1"
  [[ "$(tail -c 1 "$1" | od -An -tx1 | tr -d ' ')" == 0a ]] || fail "$1 ends in the middle of a record"
}

if [[ $e2e -eq 1 ]]; then
  step "installed gateway, headless, against the stand-ins"
  make_instance pkgtest-hand PkgTest "$printer_port"
  start_gateway "$dir"
  request_round_trip PkgTest || { cat "$gateway_log" >&2; fail "headless round trip"; }
  grep -q 'hello' "$tmp/printer.log" || fail "the printer stand-in saw no request"
  stop_gateway
  check_comm_log "$dir/Socketcomm-PkgTest-.dat"

  step "an instance made by kavetta-instance prints a label"
  src=$tmp/instance-source
  mkdir "$src"
  # The example's configuration (its ServerPath points above a Server folder) with this test's
  # module and ports; no Labels/ or System/ beside it, so the examples' are taken.
  sed -e 's/^"Modulname","[^"]*"/"Modulname","PkgInst"/' -e "s/^\"Port\",\"[^\"]*\"/\"Port\",\"$plc_port\"/" \
    -e "s/^\"RemotePort\",\"[^\"]*\"/\"RemotePort\",\"$printer_port\"/" \
    /usr/share/kavetta/examples/Kavetta.zelb > "$src/Kavetta.zelb"
  dir=/var/lib/kavetta/pkgtest-inst
  instances+=(pkgtest-inst)
  made=$(kavetta-instance create pkgtest-inst --from "$src") || { echo "$made"; fail "kavetta-instance create"; }
  echo "$made"
  grep -qxF '  systemctl enable --now kavetta@pkgtest-inst' <<< "$made" || fail "no start command in: $made"
  [[ "$(stat -c '%U:%G %a' "$dir" "$dir/Kavetta.zelb" "$dir/Labels" "$dir/System/prog.mdb" | sort -u | tr '\n' ' ')" == \
    "kavetta:kavetta 664 kavetta:kavetta 775 " ]] || fail "owners and modes: $(ls -lR "$dir")"
  cmp -s "$dir/Kavetta.ini" /usr/share/kavetta/examples/Kavetta.ini || fail "no options file"
  grep -q '^"ServerPath","".$' "$dir/Kavetta.zelb" || fail "ServerPath: $(grep ServerPath "$dir/Kavetta.zelb")"
  [[ $(grep -c $'\r$' "$dir/Kavetta.zelb") -eq 15 ]] || fail "the configuration lost its CR LF"
  # An instance is never overwritten, and a name must not leave /var/lib/kavetta.
  sum=$(md5sum < "$dir/Kavetta.zelb")
  for name in pkgtest-inst ../pkgtest-out .pkgtest; do
    if kavetta-instance create "$name" --from "$src" > "$tmp/refused.log" 2>&1; then
      fail "kavetta-instance create $name succeeded: $(cat "$tmp/refused.log")"
    fi
  done
  [[ "$(md5sum < "$dir/Kavetta.zelb")" == "$sum" ]] || fail "an existing instance was overwritten"
  [[ ! -e /var/lib/pkgtest-out && ! -e /var/lib/kavetta/.pkgtest ]] || fail "a bad name made a folder"
  runuser -u kavetta -- kavetta-instance create pkgtest-user > /dev/null 2>&1 && fail "created without root"

  runtime_before=$(ls -d "/tmp/kavetta-runtime-$(id -u kavetta)" 2>/dev/null || true)
  start_gateway "$dir" by-hand
  request_round_trip PkgInst '/SetLabel=2.1#etikett.xml#L4711#3' 'OK [0-9]' ||
    { cat "$gateway_log" "$events" >&2; fail "no label through the new instance"; }
  grep -lq '<field name="charge">C-2026-12</field>' "$tmp"/printed/* ||
    fail "the label lacks its print data: $(tail -n 3 "$tmp/printer.log")"
  stop_gateway
  [[ ! -s "$gateway_log" ]] || fail "the gateway wrote to stderr: $(cat "$gateway_log")"
  [[ -n "$runtime_before" ]] || rm -rf "/tmp/kavetta-runtime-$(id -u kavetta)"

  step "SIGTERM while a request is out"
  "$printersim" --port 0 --silent > "$tmp/silent.log" 2>&1 &
  pids+=($!)
  silent_port=$(listening_port "$tmp/silent.log") || fail "the silent printersim does not listen"
  make_instance pkgtest-cut PkgCut "$silent_port"
  start_gateway "$dir"
  "$plcsim" request --port "$plc_port" --module PkgCut --data "hello" --timeout-ms 20000 \
    > "$tmp/cut-request.log" 2>&1 &
  pids+=($!)
  wait_for_line "$tmp/silent.log" hello || fail "the request did not reach the silent printer"
  stop_gateway
  check_comm_log "$dir/Socketcomm-PkgCut-.dat"

  step "missing and empty instance folders"
  instances+=(pkgtest-missing)
  start_gateway /var/lib/kavetta/pkgtest-missing
  wait_for_line "$events" "Program folder /var/lib/kavetta/pkgtest-missing not found: running with the empty configuration" ||
    fail "a missing instance folder is not reported"
  stop_gateway
  make_instance pkgtest-empty
  start_gateway "$dir"
  wait_for_line "$events" "Configuration file $dir/Kavetta.zelb not found: running with the empty configuration" ||
    fail "an empty instance folder is not reported"
  stop_gateway

  step "read-only instance folder"
  dir=/var/lib/kavetta/pkgtest-readonly
  instances+=(pkgtest-readonly)
  install -d -o root -g root -m 0755 "$dir"
  write_configuration "$dir" PkgRo "$printer_port"
  start_gateway "$dir"
  request_round_trip PkgRo || { cat "$gateway_log" "$events" >&2; fail "round trip from a read-only folder"; }
  wait_for_line "$events" "Program folder $dir is not writable" || fail "the read-only folder is not reported"
  stop_gateway
  [[ -z "$(ls -A "$dir" | grep -vxF Kavetta.zelb)" ]] || fail "the gateway wrote into a read-only folder"

  step "the window module"
  # With a display the program loads its window from the module; the offscreen platform
  # stands in for the display.
  home=$tmp/run-window
  install -d -o kavetta -g kavetta -m 0700 "$home"
  setpriv --reuid=kavetta --regid=kavetta --init-groups \
    env -u WAYLAND_DISPLAY -u KAVETTA_HEADLESS DISPLAY=:0 QT_QPA_PLATFORM=offscreen HOME="$home" \
    KAVETTA_HOME="$home" KAVETTA_EVENTLOG="$home/events.txt" XDG_RUNTIME_DIR="$home" \
    XDG_CONFIG_HOME="$home/.config" /usr/bin/kavetta > "$tmp/window.log" 2>&1 &
  window=$!
  pids+=("$window")
  loaded=0
  for _ in $(seq 100); do
    if grep -qF "$window_module" "/proc/$window/maps" 2>/dev/null; then loaded=1; break; fi
    sleep 0.1
  done
  kill -KILL "$window" 2>/dev/null || true
  wait "$window" 2>/dev/null || true
  [[ $loaded -eq 1 ]] || { cat "$tmp/window.log" >&2; fail "the program did not load $window_module"; }

  if [[ -d /run/systemd/system ]]; then
    step "the same as the service kavetta@pkgtest"
    make_instance pkgtest PkgSvc "$printer_port"
    systemctl start kavetta@pkgtest.service || { journalctl -u kavetta@pkgtest -n 50 >&2; fail "start"; }
    request_round_trip PkgSvc || { journalctl -u kavetta@pkgtest -n 50 >&2; fail "service round trip"; }
    systemctl stop kavetta@pkgtest.service
    result=$(systemctl show -p Result --value kavetta@pkgtest.service)
    [[ "$result" == success ]] || fail "the service ended with $result"
  fi
fi

step "purge"
purge_all
known && fail "dpkg still knows kavetta"
known kavetta-window && fail "dpkg still knows kavetta-window"
for f in "${files[@]}"; do
  [[ ! -e "$f" ]] || fail "$f is left after the purge"
done
[[ ! -e /etc/xdg/Morvanta ]] || fail "/etc/xdg/Morvanta is left: $(ls -A /etc/xdg/Morvanta)"
# man-db's cache of formatted pages (made by systemd-analyze's look at the unit's manual page)
# is man-db's to expire.
left=$(find /etc /usr /opt /srv /var -xdev \
  \( -path /var/lib/kavetta -prune -o -path /var/cache/man -prune \) -o \
  \( -iname '*kavetta*' -o -iname '*zelb*' -o -name Morvanta -o -user kavetta -o -group kavetta \) -print \
  2>/dev/null || true)
[[ -z "$left" ]] || fail "left after the purge: $left"
echo "package-test: passed"
