#!/usr/bin/env bash
# What the engine costs beside the plain ALSA tools, each pair side by side in one run, all
# through a PulseAudio null sink reached by ALSA's pulse plugin, 44.1 kHz stereo:
#   needlerec-cli record --quiet   beside  arecord            (the sink's monitor into a file;
#                                                             also once with the meter lines)
#   needlerec-cli play             beside  aplay              (that file into the sink)
#   needlerec monitoring           beside  arecord -V stereo  (the window, every instrument live)
# Prints CPU seconds (all threads, user + system, over the whole run), wake-ups a second
# (voluntary context switches of every thread, read from /proc while the program runs) and the
# ratios to the plain tool. The window's own account of the time after its start (share of a
# core, wake-ups) follows its line.
# NEEDLEREC_BENCH_THREADS=1 also lists the wake-ups of each thread by name;
# NEEDLEREC_BENCH_PARTS picks parts ("record play window", the default).
# Needs pulseaudio, pacat, pactl, parec, sox, arecord and aplay.
#   bench/engine_bench.sh [BUILD_FOLDER] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
seconds=${2:-20}
rate=44100
cli=$build/cli/needlerec-cli
window=$build/bench/window_driver
[ -x "$cli" ] || { echo "engine_bench: $cli is not built" >&2; exit 1; }
source "$root/bench/pulse_sink.sh"
bench_workdir engine_bench pulseaudio pacat pactl parec sox arecord aplay

# The sound server with a tone playing into its sink for every run, and a reader of the
# sink's monitor, so that an idle sink never stalls the next stream.
start_pulse_sink "$dir" $rate $((8 * seconds + 120)) engine_bench
parec -d vsink.monitor --raw >/dev/null 2>&1 &
pids+=($!)
cat >>"$dir/asound.conf" <<EOF
pcm.nr_pulse_out { type pulse server "unix:$dir/pulse.sock" device "vsink" }
EOF
# The player's device: the program lists the sink first, for both directions.
export NEEDLEREC_ALSA_DEVICES="nr_pulse_mon|nr_pulse_out"

# A pause without a process of its own (a process would count as the measured one's child).
mkfifo "$dir/tick"
exec 9<>"$dir/tick"
pause() { read -r -t "$1" -u 9 || true; }

# Runs a command in the background and measures it until it ends: sets `cpu` (CPU seconds of
# every thread, from the shell's account of its reaped children), `wakes` (voluntary context
# switches a second, every thread, the last value /proc showed for each) and `threads` (the
# same per thread name). Runs in this shell, which has no other child to reap meanwhile.
measure() {
  local -A last=() names=()
  local pid start end task tid key value total=0 before after
  times >"$dir/times"
  { read -r _; read -r before; } <"$dir/times"
  start=$EPOCHREALTIME
  "$@" >"$dir/out.log" 2>"$dir/err.log" &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    for task in /proc/"$pid"/task/*; do
      tid=${task##*/}
      [ -r "$task/status" ] || continue
      while read -r key value _; do
        if [ "$key" = "voluntary_ctxt_switches:" ]; then last[$tid]=$value; fi
      done 2>/dev/null <"$task/status" || true
      # Read every time: the first look may come before the program replaced the shell.
      read -r "names[$tid]" 2>/dev/null <"$task/comm" || true
    done
    pause 0.1
  done
  wait "$pid" || { echo "engine_bench: '$*' failed:" >&2; cat "$dir/err.log" >&2; exit 1; }
  end=$EPOCHREALTIME
  times >"$dir/times"
  { read -r _; read -r after; } <"$dir/times"
  cpu=$(awk -v b="$before" -v a="$after" 'function s(t,  m, x) {
      m = t; sub(/m.*/, "", m); x = t; sub(/^[0-9]+m/, "", x); sub(/s$/, "", x); return 60 * m + x }
    BEGIN { split(b, B, " "); split(a, A, " ");
      printf "%.3f", s(A[1]) + s(A[2]) - s(B[1]) - s(B[2]) }')
  local -A byName=()
  for tid in "${!last[@]}"; do
    total=$((total + last[$tid]))
    key=${names[$tid]:-?}
    byName[$key]=$((${byName[$key]:-0} + last[$tid]))
  done
  wakes=$(awk -v n="$total" -v s="$start" -v e="$end" 'BEGIN { printf "%.0f", n / (e - s) }')
  threads=""
  for key in "${!byName[@]}"; do
    threads+=$(awk -v k="$key" -v n="${byName[$key]}" -v s="$start" -v e="$end" \
      'BEGIN { printf "    %-16s %8.1f/s\\n", k, n / (e - s) }')
  done
}

printf '%-48s %10s %12s %10s %10s\n' "44.1 kHz stereo through a PulseAudio null sink" \
  "CPU s" "wake-ups/s" "CPU ratio" "wake ratio"
row() {
  local what=$1 c=$2 w=$3 bc=$4 bw=$5
  awk -v what="$what" -v c="$c" -v w="$w" -v bc="$bc" -v bw="$bw" 'BEGIN {
    printf "%-48s %10.3f %12.0f %10s %10s\n", what, c, w,
      (bc > 0 ? sprintf("%.2f", c / bc) : "-"), (bw > 0 ? sprintf("%.2f", w / bw) : "-") }'
  if [ -n "${NEEDLEREC_BENCH_THREADS:-}" ]; then printf '%b' "$threads"; fi
}

# Each row is measured `rounds` times (the rows of a part alternate, one round after the other)
# and shows the round with the median CPU figure: this machine's other work moves single figures
# a lot. round_of KEY CMD... measures one round of a row; median_of KEY sets cpu, wakes and
# threads (as measure does) from the row's median round.
declare -A figs=() thread_lists=()
round_of() {
  local key=$1
  shift
  measure "$@"
  figs[$key]+="$cpu $wakes $round;"
  thread_lists[$key:$round]=$threads
}
median_of() {
  local key=$1 picked
  read -r cpu wakes picked < <(tr ';' '\n' <<<"${figs[$key]}" | grep . | sort -n |
    awk '{ r[NR] = $0 } END { print r[int((NR + 1) / 2)] }')
  threads=${thread_lists[$key:$picked]}
}
rounds=${NEEDLEREC_BENCH_ROUNDS:-3}

parts=${NEEDLEREC_BENCH_PARTS:-record play window}
# 1. Recording: arecord; needlerec-cli like it, without a meter; then with its live meter lines.
# 2. Playing what was recorded.
record_part=false play_part=false
case " $parts " in *" record "*|*" play "*) record_part=true ;; esac
case " $parts " in *" play "*) play_part=true ;; esac
for round in $(seq "$rounds"); do
  if $record_part; then
    round_of arecord arecord -q -D nr_pulse_mon -f cd -d "$seconds" "$dir/arecord.wav"
    round_of quiet "$cli" record "$dir/take.wav" --overwrite --device 0 --seconds "$seconds" --quiet
    round_of metered "$cli" record "$dir/metered.wav" --overwrite --device 0 --seconds "$seconds"
  fi
  if $play_part; then
    round_of aplay aplay -q -D nr_pulse_out "$dir/take.wav"
    round_of play "$cli" play "$dir/take.wav" --device 1
  fi
done
# The median row of a plain tool (KEY LABEL), then those of the program (KEY LABEL ...) with
# their ratios to the plain tool.
median_rows() {
  median_of "$1"
  local base_cpu=$cpu base_wakes=$wakes
  row "$2" "$cpu" "$wakes" 0 0
  shift 2
  while [ $# -gt 0 ]; do
    median_of "$1"
    row "$2" "$cpu" "$wakes" "$base_cpu" "$base_wakes"
    shift 2
  done
}
echo "(medians of $rounds rounds)"
if $record_part; then
  median_rows arecord "arecord, $seconds s" quiet "needlerec-cli record --quiet, $seconds s" \
    metered "needlerec-cli record (live meter lines), $seconds s"
fi
if $play_part; then
  median_rows aplay "aplay, $seconds s" play "needlerec-cli play, $seconds s"
fi

# 3. The window monitoring with every instrument live (its own account of the time after its
# start), beside arecord with its level meter over its whole run.
if [[ " $parts " != *" window "* ]]; then
  :
elif [ -x "$window" ]; then
  measure arecord -q -D nr_pulse_mon -f cd -V stereo -d "$seconds" /dev/null
  base_cpu=$cpu base_wakes=$wakes
  row "arecord -V stereo, $seconds s" "$cpu" "$wakes" 0 0
  export QT_QPA_PLATFORM=offscreen
  # A settings file beside the driver, named after it, makes it a portable copy that uses it.
  cp "$window" "$dir/window_driver"
  printf '[Common]\nSampleRate=%s\n' $rate >"$dir/window_driver.ini"
  measure "$dir/window_driver" monitor "$seconds"
  read -r share own_wakes <"$dir/out.log"
  row "needlerec monitoring, every instrument live" "$cpu" "$wakes" "$base_cpu" "$base_wakes"
  awk -v s="$share" -v w="$own_wakes" -v b="$base_cpu" -v n="$seconds" 'BEGIN {
    printf "    after its start: %.2f %% of a core (goal: 3 %%), %s wake-ups/s, %.1f x arecord -V stereo\n",
      s, w, (b > 0 ? s / (100 * b / n) : 0) }'
else
  echo "(the window comparison needs $window: configure with -DNEEDLEREC_BENCH=ON)"
fi
