#!/usr/bin/env bash
# Builds zendra-bench and zendra-sim optimised (preset "bench", build/bench)
# and prints the benchmark table: each figure beside the pseudo-terminal's
# measured in the same run where there is one, the target, and the command
# that measured it. Installs what is missing first (valgrind included).
#   bash scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh bench >&2
cmake --preset bench >/dev/null
cmake --build --preset bench >&2

bin=build/bench
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# field NAME LINE: the value after NAME in a "name value ..." line.
field() { awk -v name="$1" '{ for (i = 1; i < NF; ++i) if ($i == name) { print $(i + 1); exit } }' <<<"$2"; }
run() { "$@" || { echo "bench: failed: $*" >&2; exit 1; }; }

# Instructions of the driver's own code (functions compiled from zendra/*),
# apart from the emulation routines it calls, in a deterministic run.
driver_instructions() {
  local file="$out/callgrind.$1.$2"
  run valgrind --tool=callgrind --callgrind-out-file="$file" "$bin/zendra-bench" cost "$1" "$2" >"$file.txt" 2>/dev/null
  callgrind_annotate --auto=no --inclusive=no --threshold=100 "$file" |
    awk '$0 ~ /[ \/]zendra\/[a-z_]+\.cpp:/ { gsub(",", "", $1); sum += $1 } END { print sum + 0 }'
}

rows=()
row() { rows+=("$(printf '%-44s %14s %14s  %-12s %s' "$1" "$2" "$3" "$4" "$5")" "    \$ $6"); }
met() { awk -v a="$1" -v b="$2" -v op="$3" 'BEGIN { ok = op == "<" ? a < b : a <= b; print ok ? "met" : "MISSED" }'; }

# Per packet and per buffered read: differences between runs, so loading,
# plugging and opening cancel out.
p1=200 p2=400 reads=200
cost_a=$(driver_instructions $p1 0)
cost_b=$(driver_instructions $p2 0)
cost_c=$(driver_instructions $p2 $reads)
if [ "$cost_a" -eq 0 ]; then
  echo "bench: callgrind's output names no function of zendra/" >&2
  exit 1
fi
per_packet=$(((cost_b - cost_a) / (p2 - p1)))
per_read=$(((cost_c - cost_b) / reads))
alloc=$(cat "$out/callgrind.$p2.$reads.txt")
packet_allocs=$(field driver_allocations "$alloc")
read_allocs=$(awk '{ print $10 }' <<<"$alloc")
cg="valgrind --tool=callgrind $bin/zendra-bench cost P R; callgrind_annotate --inclusive=no: sum of zendra/*.cpp"
row "driver instructions per 64-byte packet" "$per_packet" "-" "< 400 $(met "$per_packet" 400 "<")" \
  "runs (P,R) = ($p2,0) - ($p1,0), per packet" "$cg"
row "driver instructions per buffered 64-byte read" "$per_read" "-" "" "runs ($p2,$reads) - ($p2,0), per read" "$cg"
row "driver pool allocations per packet" "$packet_allocs/$p2" "-" "0 $( [ "$packet_allocs" = 0 ] && echo met || echo MISSED)" \
  "tag 'Wdm '" "$bin/zendra-bench cost $p2 $reads"
row "driver pool allocations per buffered read" "$read_allocs/$reads" "-" "0 $( [ "$read_allocs" = 0 ] && echo met || echo MISSED)" \
  "tag 'Wdm '" "$bin/zendra-bench cost $p2 $reads"

# Throughput and latency, free-running, beside the pty in the same run.
bytes=4000000
zs=$(run "$bin/zendra-bench" stream $bytes)
ps=$(run "$bin/zendra-bench" stream $bytes --pty)
zmb=$(field mb_per_s "$zs") pmb=$(field mb_per_s "$ps")
row "throughput scanner to ReadFile, MB/s" "$zmb" "$pmb" ">= pty $(met "$pmb" "$zmb" "<=")" \
  "$bytes bytes" "$bin/zendra-bench stream $bytes [--pty]"
row "CPU per byte, ns (all threads)" "$(field cpu_ns_per_byte "$zs")" "$(field cpu_ns_per_byte "$ps")" "" "" \
  "$bin/zendra-bench stream $bytes [--pty]"
count=5000
zl=$(run "$bin/zendra-bench" latency $count)
pl=$(run "$bin/zendra-bench" latency $count --pty)
z50=$(field p50_us "$zl") p50=$(field p50_us "$pl") z99=$(field p99_us "$zl") p99=$(field p99_us "$pl")
row "latency 20-byte barcode p50, us" "$z50" "$p50" "" "$count barcodes" "$bin/zendra-bench latency $count [--pty]"
row "latency 20-byte barcode p99, us" "$z99" "$p99" "<= 2x pty $(met "$z99" "$(awk -v p="$p99" 'BEGIN { print 2 * p }')" "<=")" \
  "$count barcodes" "$bin/zendra-bench latency $count [--pty]"

# Scale: the same stream on 1, 8 and 64 ports at once.
for n in 1 8 64; do
  each=$((bytes / n))
  s=$(run "$bin/zendra-bench" scale $n $each)
  row "$n scanner(s): total MB/s, CPU ns/byte" "$(field mb_per_s "$s")" "-" "" "cpu $(field cpu_ns_per_byte "$s") ns/byte" \
    "$bin/zendra-bench scale $n $each"
done

# The deterministic suite's busiest end-to-end run: the story under a seed.
seeds=20
start=$(date +%s.%N)
for seed in $(seq 1 $seeds); do run "$bin/zendra-sim" --seed "$seed" --quick >/dev/null; done
secs=$(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { print e - s }')
row "deterministic story: seeds per second" "$(awk -v n=$seeds -v s="$secs" 'BEGIN { printf "%.1f", n / s }')" "-" "" \
  "1,000 seeds: $(awk -v n=$seeds -v s="$secs" 'BEGIN { printf "%.0f", 1000 * s / n }') s" \
  "for s in \$(seq $seeds); do $bin/zendra-sim --seed \$s --quick; done"

printf '%-44s %14s %14s  %-12s %s\n' "figure" "zendra" "pty" "target" "how"
printf '%s\n' "${rows[@]}"
echo "machine: $(nproc) cores, $(uname -r); load average $(cut -d' ' -f1-3 /proc/loadavg)"
