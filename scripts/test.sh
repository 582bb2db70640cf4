#!/usr/bin/env bash
# Builds everything and runs every test:
#   - zendra.sys for 32-bit and 64-bit Windows (mingw-w64 cross builds);
#   - the host build (driver on the emulated platform, tools, tests), whose
#     test suite includes the checks of both zendra.sys images;
#   - the same host build with AddressSanitizer and UndefinedBehaviorSanitizer;
#   - the x64 zendra.sys and zendraprops.dll on Wine (scripts/wine.sh).
# Installs what a fresh Debian machine lacks first.
#
# --long: the long mode, not run in CI. Every seeded scenario runs 1,000
# seeds, and as many again under the rare-interleaving schedule; the
# control-code sweep tries every function and every length from 0 to 80.
set -euo pipefail
cd "$(dirname "$0")/.."

long=0
[[ "${1:-}" == "--long" ]] && long=1

# One apt-get update at most, for the builds and the Wine check alike.
bash scripts/install-deps.sh wine

for preset in windows-x86 windows-x64 host host-asan; do
  echo "== configure and build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

if [[ $long == 1 ]]; then
  # Free of CTest's per-test time limit: a scenario's 2,000 runs take longer
  # than CI allows a test. Two processes, the two longest tests in one and
  # everything else in the other, so that two cores share the work.
  echo "== tests: host, long mode"
  longest='Read.AFullBuffer*:SerialControl.EveryCodeAndLength*'
  ZENDRA_LONG=1 ./build/host/zendra_tests --gtest_filter="$longest" > build/host/long-longest.log 2>&1 &
  longestPid=$!
  status=0
  ZENDRA_LONG=1 ./build/host/zendra_tests --gtest_filter="-$longest" || status=$?
  wait "$longestPid" || status=$?
  cat build/host/long-longest.log
  exit "$status"
fi

echo "== tests: host"
ctest --preset host
echo "== tests: host-asan"
ctest --preset host-asan
bash scripts/wine.sh
