#!/usr/bin/env bash
# The Wine check: the cross-built 64-bit zendra.sys and zendraprops.dll run
# on a kernel and a user mode this project did not write (Wine's ntoskrnl,
# Plug and Play and device installation, kernel32's communications API).
#
#   bash scripts/wine.sh           # exits non-zero on any failed check
#   bash scripts/wine.sh --shot    # also refreshes docs/advanced-page.png
#
# 1. Installs what a fresh Debian machine lacks (wine64, Xvfb, netpbm; the
#    cross compilers through scripts/install-deps.sh).
# 2. Builds the windows-x64 preset (the driver package) and tests/wine (the
#    test bus zbus.sys and three Win32 programs).
# 3. In a fresh WINEPREFIX under /tmp, with Xvfb as the display: installs
#    the test bus as a ROOT-enumerated device and the driver package as an
#    OEM INF, gives the scanner PortName COM7, and restarts Wine. The bus
#    reports the scanner; Wine's device installation finds zendra.inf by
#    its hardware ID, copies the files, adds the service and starts the
#    driver on it.
# 4. Runs the serial checks against \\.\COM7 (zendra-wine-checks), then the
#    Advanced page (zendra-wine-props): its picture, COM12 applied, the
#    scanner replugged, the port found as COM12.
# Every wine call runs under `timeout`; Wine and Xvfb are ended at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

shot=0
[[ "${1:-}" == "--shot" ]] && shot=1

# --- 1. packages ------------------------------------------------------------
bash scripts/install-deps.sh wine
# wine64 lives here on Debian; the wine wrapper only comes with the 32-bit half.
export PATH=/usr/lib/wine:$PATH

# --- 2. builds --------------------------------------------------------------
echo "== wine: build windows-x64 and tests/wine"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64
cmake -S tests/wine -B build/wine -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-x86_64.cmake" >/dev/null
cmake --build build/wine

# --- 3. a fresh prefix, a display, the installation --------------------------
work=$(mktemp -d /tmp/zendra-wine.XXXXXX)
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# No .NET or HTML engine to install into the prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
xvfb_pid=""
finish() {
  status=$?
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  if [ $status -eq 0 ]; then rm -rf "$work"; else echo "wine.sh: FAILED; the prefix and logs are in $work" >&2; fi
  exit $status
}
trap finish EXIT

display=""
for n in $(seq 90 120); do
  if [ ! -e "/tmp/.X$n-lock" ] && [ ! -e "/tmp/.X11-unix/X$n" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "wine.sh: no free X display" >&2; exit 1; }
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display

winpath() { echo "Z:${1//\//\\}"; }

# The driver package as it would be handed out: the build folder's three
# files. zendra.inf names a catalog, which Wine's INF installation copies
# like Windows' but does not verify; an unsigned test package has none, so
# an empty one stands in.
mkdir -p "$work/package" "$work/bus"
cp build/windows-x64/zendra.inf build/windows-x64/zendra.sys build/windows-x64/zendraprops.dll "$work/package/"
: >"$work/package/zendra.cat"
cp build/wine/zbus.sys "$work/bus/"

echo "== wine: a fresh prefix in $WINEPREFIX"
start=$SECONDS
timeout 180 wine64 wineboot -i >"$work/wineboot.log" 2>&1
timeout 60 wine64 build/wine/zendra-wine-install.exe bus "$(winpath "$work/bus")"
timeout 60 wine64 build/wine/zendra-wine-install.exe package "$(winpath "$work/package")"
timeout 60 wine64 build/wine/zendra-wine-install.exe port 'USB\VID_1A2B&PID_0C01\KS20A' COM7
# Wine enumerates ROOT devices when its Plug and Play service starts: end
# this session so that the next one loads the bus.
timeout 60 wineserver -w

# --- 4. the checks ------------------------------------------------------------
failed=0
echo "== wine: serial checks on COM7"
timeout 120 wine64 build/wine/zendra-wine-checks.exe 7 || failed=1
echo "== wine: the Advanced page, COM7 to COM12"
timeout 120 wine64 build/wine/zendra-wine-props.exe 'USB\VID_1A2B&PID_0C01\KS20A' 7 12 \
  "$(winpath "$work/advanced-page.ppm")" || failed=1
if [ -s "$work/advanced-page.ppm" ]; then
  pnmtopng -compression 9 "$work/advanced-page.ppm" >"$work/advanced-page.png" 2>/dev/null
  if [ $shot == 1 ]; then cp "$work/advanced-page.png" docs/advanced-page.png; echo "docs/advanced-page.png updated"; fi
fi
timeout 60 wineserver -k || true
echo "== wine: done in $((SECONDS - start)) s after the builds"
exit $failed
