#!/usr/bin/env bash
# Builds zendra-sim and zendra-bench with ThreadSanitizer (preset
# "host-tsan", build/host-tsan) and runs them free-running, where the DPC
# threads, the system worker threads, the bus's completions and the
# program's threads really run at once:
#   - the story (zendra-sim --quick): open, read, sleep and wake with the
#     port open, renumbering, unplugging, unload;
#   - the many-port benchmark: 8 and 64 scanners streaming at once, and the
#     one-barcode-at-a-time latency run (reads completed by the time-out
#     worker while the program looks at the OVERLAPPED).
# Fails on the first report. The races the design accepts are listed, each
# with its reason and its partner, in tests/tsan.supp.
# Under deterministic scheduling only one thread runs at a time, so the
# seeded runs are left to the ordinary suite.
#   bash scripts/tsan.sh            the runs above
#   bash scripts/tsan.sh --repeat N each run N times (rare interleavings)
set -euo pipefail
cd "$(dirname "$0")/.."

repeat=1
if [[ "${1:-}" == "--repeat" ]]; then
  repeat=${2:?--repeat needs a count}
fi

bash scripts/install-deps.sh tsan >&2
start=$(date +%s)
cmake --preset host-tsan >/dev/null
cmake --build --preset host-tsan >/dev/null
built=$(date +%s)

bin=build/host-tsan
# halt_on_error: the first report ends the run with exit status 66, which
# no program here uses for anything else.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp ${TSAN_OPTIONS:-}"

run() {
  local status=0
  local t0=$(date +%s.%N)
  "$@" >/dev/null || status=$?
  local secs=$(awk -v s="$t0" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }')
  if [[ $status == 66 ]]; then
    echo "tsan: ThreadSanitizer reported a race in: $*" >&2
    exit 1
  elif [[ $status != 0 ]]; then
    echo "tsan: failed with exit status $status: $*" >&2
    exit 1
  fi
  echo "tsan: clean in ${secs} s: $*"
}

for ((i = 0; i < repeat; ++i)); do
  run "$bin/zendra-sim" --quick
  run "$bin/zendra-bench" scale 8 40000
  run "$bin/zendra-bench" scale 64 5000
  run "$bin/zendra-bench" latency 300
done
echo "tsan: no race reported; build $((built - start)) s, runs $(($(date +%s) - built)) s"
