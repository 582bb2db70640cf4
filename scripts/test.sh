#!/usr/bin/env bash
# Builds everything and runs every test:
#   - zendra.sys for 32-bit and 64-bit Windows (mingw-w64 cross builds);
#   - the host build (driver on the emulated platform, tools, tests), whose
#     test suite includes the checks of both zendra.sys images;
#   - the same host build with AddressSanitizer and UndefinedBehaviorSanitizer.
# Installs what a fresh Debian machine lacks first.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

for preset in windows-x86 windows-x64 host host-asan; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

echo "== tests: host"
ctest --preset host
echo "== tests: host-asan"
ctest --preset host-asan
