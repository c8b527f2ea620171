#!/usr/bin/env bash
# Builds the Debian packages build/kavetta_<version>_<arch>.deb (the gateway, its tools and the
# service unit, no widget library) and build/kavetta-window_<version>_<arch>.deb (the window
# module, desktop entry, file type and icon): the Release build, then CPack.
# Checks the service unit with systemd-analyze (where the machine has it) and the package with
# lintian: errors and warnings fail the build, information tags are shown.
#   scripts/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

"$root/scripts/setup.sh"

"$root/scripts/build.sh"
cd "$root/build"

# The unit as installed names /usr/bin/kavetta (to start, and to check before a start or a
# reload) and its manual page; verify it against the program just built (the manual page is
# checked once installed, by scripts/package-test.sh).
if command -v systemd-analyze >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  sed -e "s#^\(ExecStart\(Pre\)\?\|ExecReload\)=[^ ]*/kavetta\( \|\$\)#\1=$root/build/src/kavetta\3#" \
    -e 's#^Documentation=man:[^ ]* #Documentation=#' \
    packaging/kavetta@.service \
    > "$tmp/kavetta@verify.service"
  systemd-analyze verify "$tmp/kavetta@verify.service"
fi

rm -f kavetta_*.deb kavetta-window_*.deb
cpack -G DEB >/dev/null
# The gateway without widgets, and its window in a package of its own.
debs=(kavetta_*.deb kavetta-window_*.deb)
for deb in "${debs[@]}"; do
  [[ -f "$deb" ]] || { echo "package.sh: $deb was not made" >&2; exit 1; }
done

# lintian warns about running as root; the check itself is the same.
lintian --info --fail-on error,warning "${debs[@]}" 2> >(grep -v 'running with root privileges' >&2)
printf "$root/build/%s\n" "${debs[@]}"
