#!/usr/bin/env bash
# Cross-builds zendra.sys for 32- and 64-bit Windows (presets windows-x86 and
# windows-x64), then runs pecheck on both images when the host build has
# produced it (cmake --preset host && cmake --build --preset host).
#
# Usage: scripts/build-windows.sh        (from anywhere inside the repository)
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

for preset in windows-x86 windows-x64; do
  echo "== $preset"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done

x86="$root/build/windows-x86/zendra.sys"
x64="$root/build/windows-x64/zendra.sys"
echo "zendra.sys (x86): $x86"
echo "zendra.sys (x64): $x64"

# Each windows preset defines a test that runs the host-built pecheck on its
# own zendra.sys (cmake/windows.cmake), with the same allowed imports as the
# host build's pe_zendra_sys_* tests.
pecheck="$root/build/host/tools/pecheck/pecheck"
if [ ! -x "$pecheck" ]; then
  echo "pecheck not built yet ($pecheck): build the host preset to check the images"
  exit 0
fi
status=0
for preset in windows-x86 windows-x64; do
  ctest --preset "$preset" || status=1
done
exit $status
