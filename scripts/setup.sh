#!/usr/bin/env bash
# Installs the Debian packages that build, test and demonstrate the gateway.
# Idempotent: prints nothing and installs nothing when everything is there already.
set -euo pipefail

packages=(
  cmake ninja-build pkg-config g++ ccache
  qt6-base-dev mdbtools-dev
  libsystemd-dev
  xvfb xauth dbus fonts-dejavu-core
  clang libclang-rt-14-dev clang-format clang-tidy
  valgrind
  # The durable queue's journal.
  libsqlite3-dev
  libmodbus-dev python3-pymodbus python3-serial python3-serial-asyncio mbpoll
  # The status endpoint (Qt's HTTP server; its CMake files need the WebSockets module's) and
  # its tests: promtool checks the metrics and alert rules, chromium opens the page.
  qt6-httpserver-dev qt6-websockets-dev prometheus chromium
  # The Debian package and its test (scripts/package.sh, scripts/package-test.sh): file and
  # dpkg-shlibdeps for CPack's Depends field, lintian, systemd-analyze and systemctl for the
  # unit, desktop-file-validate and the MIME database for the desktop files.
  file dpkg-dev lintian systemd desktop-file-utils shared-mime-info
  # The pair of gateway PCs (scripts/ha-test.sh): the cluster software, the resource agents with
  # ocf-tester and the Filesystem agent (which wants modprobe), xmllint for ocf-tester, curl.
  corosync pacemaker crmsh resource-agents kmod libxml2-utils curl
  # The Ansible role under deploy/ansible and its test (scripts/ansible-test.sh).
  ansible-core ansible-lint
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]} (a few minutes on a fresh machine)"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# One line per package set up, so that a long install shows that it moves.
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" |
  { grep --line-buffered '^Setting up' || true; }
