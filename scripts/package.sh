#!/usr/bin/env bash
# Builds the Debian package build/kavetta_<version>_<arch>.deb: the Release build, then CPack.
# Checks the service unit with systemd-analyze (where the machine has it) and the package with
# lintian: errors and warnings fail the build, information tags are shown.
#   scripts/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"

"$root/scripts/build.sh"
cd "$root/build"

# The unit as installed names /usr/bin/kavetta and its manual page; verify it against the
# program just built (the manual page is checked once installed, by scripts/package-test.sh).
if command -v systemd-analyze >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  sed -e "s#^\(ExecStart\(Pre\)\?\)=[^ ]*#\1=$root/build/src/kavetta#" -e 's#^Documentation=man:[^ ]* #Documentation=#' \
    packaging/kavetta@.service \
    > "$tmp/kavetta@verify.service"
  systemd-analyze verify "$tmp/kavetta@verify.service"
fi

rm -f kavetta_*.deb
cpack -G DEB >/dev/null
debs=(kavetta_*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || { echo "package.sh: no package was made" >&2; exit 1; }

# lintian warns about running as root; the check itself is the same.
lintian --info --fail-on error,warning "${debs[0]}" 2> >(grep -v 'running with root privileges' >&2)
echo "$root/build/${debs[0]}"
