#!/usr/bin/env bash
# What the whole program costs while it shows a live input: the window (headless, every
# instrument live) monitoring and then recording a PulseAudio null sink's monitor through ALSA's
# pulse plugin, 44.1 kHz stereo with a tone playing into the sink, beside `arecord -V stereo`
# recording the same input with its own level meter, in the same run. Prints each one's CPU as a
# share of one core, its wake-ups a second, and the ratio to arecord.
# Needs pulseaudio, pacat, pactl, sox and arecord.
#   bench/window_bench.sh [BUILD_FOLDER] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
seconds=${2:-20}
rate=44100
driver=$build/bench/window_driver
[ -x "$driver" ] || { echo "window_bench: $driver is not built" >&2; exit 1; }
source "$root/bench/pulse_sink.sh"
bench_workdir window_bench pulseaudio pacat pactl sox arecord

# A tone into the sink for the whole run: the needles, bars and scope have something to show.
start_pulse_sink "$dir" $rate $((4 * seconds + 60)) window_bench
export QT_QPA_PLATFORM=offscreen
# A settings file beside the driver, named after it, makes it a portable copy that uses it.
cp "$driver" "$dir/window_driver"
printf '[Common]\nSampleRate=%s\n' $rate >"$dir/window_driver.ini"

# arecord: its CPU over its whole run, start included.
TIMEFORMAT='%U %S'
arecord_times=$({ time arecord -q -D nr_pulse_mon -f cd -V stereo -d "$seconds" /dev/null \
  >/dev/null 2>&1; } 2>&1)
arecord_cpu=$(awk -v t="$arecord_times" -v s="$seconds" \
  'BEGIN { split(t, a, " "); printf "%.3f", 100 * (a[1] + a[2]) / s }')

monitor=$("$dir/window_driver" monitor "$seconds")
record=$("$dir/window_driver" record "$seconds" "$dir/take.wav")

printf '%-54s %12s %12s %10s\n' "44.1 kHz stereo from a PulseAudio null sink, $seconds s" \
  "% of a core" "wake-ups/s" "vs arecord"
printf '%-54s %12s %12s %10s\n' "arecord -V stereo (its level meter on stderr)" "$arecord_cpu" "-" "1.00"
line() {
  local what=$1 cpu=${2%% *} wakes=${2##* } ratio
  ratio=$(awk -v a="$cpu" -v b="$arecord_cpu" 'BEGIN { if (b > 0) printf "%.1f", a / b; else print "-" }')
  printf '%-54s %12s %12s %10s\n' "$what" "$cpu" "$wakes" "$ratio"
}
line "needlerec monitoring, every instrument live" "$monitor"
line "needlerec recording, every instrument live" "$record"
