#!/usr/bin/env bash
# Ring buffer throughput: a producer thread pushing through a qmWrite ring into a WAVE file, and
# a consumer thread pulling through a qmRead ring from it, beside `cat FILE > /dev/null` (the
# ceiling) on the same file in the same run. MB/s are 10^6 bytes of sample data per second.
#   bench/ring_buffer_bench.sh [BUILD_FOLDER] [MEGABYTES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
megabytes=${2:-200}
driver=$build/bench/ring_buffer_driver
[ -x "$driver" ] || { echo "ring_buffer_bench: $driver is not built" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
file=$dir/bench.wav

best_of() {
  local best=0 r
  for _ in 1 2 3; do
    r=$("$@")
    best=$(awk -v a="$best" -v b="$r" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$best"
}
cat_rate() {
  local start end
  start=$(date +%s%N)
  cat "$file" > /dev/null
  end=$(date +%s%N)
  awk -v b="$megabytes" -v ns=$((end - start)) 'BEGIN { printf "%.1f\n", b * 1e9 / ns }'
}

write=$(best_of "$driver" write "$file" "$megabytes")
read_rate=$(best_of "$driver" read "$file")
ceiling=$(best_of cat_rate)

printf '%-48s %10s %8s\n' "Ring buffer, $megabytes MB, 8192-byte blocks" "MB/s" "of cat"
for row in "qmWrite: producer -> ring -> TMMWaveFile|$write" "qmRead: TMMWaveFile -> ring -> consumer|$read_rate" "cat FILE > /dev/null|$ceiling"; do
  name=${row%|*}
  value=${row#*|}
  printf '%-48s %10s %8s\n' "$name" "$value" "$(awk -v a="$value" -v c="$ceiling" 'BEGIN { printf "%.2f", a / c }')"
done
