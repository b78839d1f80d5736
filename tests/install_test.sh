#!/usr/bin/env bash
# Installs the program component and the simulator component into temporary prefixes, reads
# the installed manual page, loads the bash completion, runs the installed program against
# the installed stand-ins, and builds the .deb of the program.
#   tests/install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/program" --component program >/dev/null
test -x "$work/program/bin/qbxmodflash"
test ! -e "$work/program/bin/qbxd-sim"
page=$(MANWIDTH=80 man -l "$work/program/share/man/man1/qbxmodflash.1" 2>&1)
for section in SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES ENVIRONMENT; do
  grep -q "^$section" <<<"$page" || { echo "manual page lacks $section"; exit 1; }
done
bash -c "source '$work/program/share/bash-completion/completions/qbxmodflash'; complete -p qbxmodflash" >/dev/null

# With the simulator component in the same prefix the installed program finds its libraries.
cmake --install "$build" --prefix "$work/program" --component simulator >/dev/null
test -x "$work/program/bin/qbxd-sim"
"$work/program/bin/qbxmodflash" -h | grep -q "Supported modules:"

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null)
deb=$(ls "$work"/deb/*.deb)
contents=$(dpkg-deb -c "$deb")
grep -q './usr/bin/qbxmodflash$' <<<"$contents"
grep -q 'man1/qbxmodflash.1' <<<"$contents"
! grep -q 'qbxd-sim\|libqbxapi' <<<"$contents"
echo "installed and packaged: $(basename "$deb")"
