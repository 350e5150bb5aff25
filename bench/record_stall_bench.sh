#!/usr/bin/env bash
# A real-time recording through a PulseAudio null sink while the machine is busy and the disk
# stops for a while: needlerec-cli records the sink's monitor (44.1 kHz stereo, fed a tone by
# pacat) into a small ext4 image mounted on a loop device, two busy processes run beside it,
# and in the middle of the recording the file system is frozen (fsfreeze) for a few seconds.
# Run twice:
#   --buffer 10  must lose nothing: exit 0, no "lost" line, the full length in the file;
#   --buffer 1   must report its loss exactly: exit 3, and the frames in the file plus the
#                frames reported lost make the whole recorded time (the device delivers
#                exactly the requested time), within one block.
# Needs root (loop mount, fsfreeze), pulseaudio, pacat, parec, pactl and sox.
#   bench/record_stall_bench.sh [BUILD_FOLDER]
# Environment: NEEDLEREC_STALL_SECONDS recording length (600), NEEDLEREC_STALL_FREEZE seconds
# the disk stays frozen (5), NEEDLEREC_STALL_TOLERANCE frames the sum may be off (2048, one
# block of the record queue).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
seconds=${NEEDLEREC_STALL_SECONDS:-600}
freeze=${NEEDLEREC_STALL_FREEZE:-5}
tolerance=${NEEDLEREC_STALL_TOLERANCE:-2048}
rate=44100
cli=$build/cli/needlerec-cli
[ -x "$cli" ] || { echo "record_stall_bench: $cli is not built" >&2; exit 1; }
# Part of `make bench`: without root it says why and leaves the other benchmarks to run.
[ "$(id -u)" = 0 ] || { echo "record_stall_bench: skipped, it needs root (loop mount, fsfreeze)"; exit 0; }
for tool in pulseaudio pacat parec pactl sox mkfs.ext4 fsfreeze; do
  command -v "$tool" >/dev/null || { echo "record_stall_bench: $tool is missing" >&2; exit 1; }
done

dir=$(mktemp -d /tmp/needlerec-stall-XXXXXX)
pids=()
mnt=$dir/disk
frozen=0
cleanup() {
  [ "$frozen" = 1 ] && fsfreeze -u "$mnt" 2>/dev/null || true
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  mountpoint -q "$mnt" && umount "$mnt"
  rm -rf "$dir"
}
trap cleanup EXIT

# The sound server of this run, in its own folder.
mkdir -p "$mnt"
# A tone into the sink for longer than both recordings, and a reader of its monitor.
source "$root/bench/pulse_sink.sh"
start_pulse_sink "$dir" $rate $((2 * seconds + 60)) record_stall_bench
parec -d vsink.monitor --raw >/dev/null 2>&1 &
pids+=($!)

# The disk: a small ext4 image of its own, so only it is frozen.
truncate -s 512M "$dir/disk.img"
mkfs.ext4 -q -F "$dir/disk.img"
mount -o loop "$dir/disk.img" "$mnt"

# Two busy processes for the whole run.
for _ in 1 2; do
  yes >/dev/null &
  pids+=($!)
done

failed=0
# Records with the given --buffer, freezing the disk in the middle; prints what it saw.
record() {
  local buffer=$1 file=$mnt/rec-$1.wav
  local status=0
  "$cli" record "$file" --overwrite --device 0 --seconds "$seconds" --buffer "$buffer" \
    >"$dir/out-$buffer.log" 2>"$dir/err-$buffer.log" &
  local recorder=$!
  pids+=($recorder)
  sleep $((seconds / 2))
  fsfreeze -f "$mnt"
  frozen=1
  sleep "$freeze"
  fsfreeze -u "$mnt"
  frozen=0
  wait "$recorder" || status=$?
  local bytes lost fileFrames expected sum
  bytes=$(sed -n 's/^recorded \([0-9]*\) bytes$/\1/p' "$dir/out-$buffer.log")
  lost=$(sed -n 's/^lost [0-9.]* s of audio (\([0-9]*\) sample frames).*/\1/p' "$dir/err-$buffer.log")
  lost=${lost:-0}
  fileFrames=$(sox --i -s "$file")
  expected=$((rate * seconds))
  sum=$((fileFrames + lost))
  printf '%-12s exit %s, file %s frames, lost %s frames, file + lost - %s s = %+d frames\n' \
    "--buffer $buffer" "$status" "$fileFrames" "$lost" "$seconds" $((sum - expected))
  grep -v '^position' "$dir/err-$buffer.log" | sed 's/^/    stderr: /' || true
  if [ -z "$bytes" ] || [ $((bytes / 4)) != "$fileFrames" ]; then
    echo "    FAIL: 'recorded $bytes bytes' is not what the file holds ($fileFrames frames)"
    failed=1
  fi
  if [ $((sum - expected)) -gt "$tolerance" ] || [ $((expected - sum)) -gt "$tolerance" ]; then
    echo "    FAIL: file and lost frames do not add up to the recorded time"
    failed=1
  fi
  if [ "$2" = none ] && { [ "$status" != 0 ] || [ "$lost" != 0 ]; }; then
    echo "    FAIL: audio was lost although the queue holds $buffer s"
    failed=1
  fi
  if [ "$2" = some ] && { [ "$status" != 3 ] || [ "$lost" = 0 ]; }; then
    echo "    FAIL: a loss was expected (exit 3 and a 'lost' line)"
    failed=1
  fi
}

echo "Recording $seconds s of 44.1 kHz stereo through PulseAudio, two busy processes," \
  "the disk frozen for $freeze s in the middle"
record 10 none
record 1 some
exit $failed
