#!/usr/bin/env bash
# WAVE file throughput: a 200 MB file written through TMMWaveFile (BufferReady) and read back
# through it (BufferLoad), in 8192-byte blocks, beside `cat FILE > /dev/null` and
# `sox FILE -t raw /dev/null` on the same file in the same run. MB/s are 10^6 bytes per second
# of sample data; the reads come from the page cache, as the write has just filled it.
#   bench/wave_file_bench.sh [BUILD_FOLDER] [MEGABYTES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
megabytes=${2:-200}
driver=$build/bench/wave_file_driver
[ -x "$driver" ] || { echo "wave_file_bench: $driver is not built" >&2; exit 1; }
command -v sox >/dev/null || { echo "wave_file_bench: sox is missing (scripts/install-deps)" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
file=$dir/bench.wav

now() { date +%s%N; }
# MB/s of a command over the file's sample data; the best of three runs.
rate() {
  local best=0 start end r
  for _ in 1 2 3; do
    start=$(now)
    "$@"
    end=$(now)
    r=$(awk -v b="$megabytes" -v ns=$((end - start)) 'BEGIN { printf "%.1f", b * 1e9 / ns }')
    best=$(awk -v a="$best" -v b="$r" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$best"
}
best_of_driver() {
  local best=0 r
  for _ in 1 2 3; do
    r=$("$driver" "$@" 2>/dev/null)
    best=$(awk -v a="$best" -v b="$r" 'BEGIN { print (b > a ? b : a) }')
  done
  echo "$best"
}

write=$(best_of_driver write "$file" "$megabytes")
cat_rate=$(rate sh -c 'cat "$1" > /dev/null' sh "$file")
sox_rate=$(rate sox "$file" -t raw /dev/null)
read_rate=$(best_of_driver read "$file")

printf '%-44s %10s\n' "WAVE file, $megabytes MB of 16-bit stereo" "MB/s"
printf '%-44s %10s\n' "TMMWaveFile write (BufferReady, 8192 B)" "$write"
printf '%-44s %10s\n' "TMMWaveFile read (BufferLoad, 8192 B)" "$read_rate"
printf '%-44s %10s\n' "cat FILE > /dev/null" "$cat_rate"
printf '%-44s %10s\n' "sox FILE -t raw /dev/null" "$sox_rate"
