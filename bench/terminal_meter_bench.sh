#!/usr/bin/env bash
# What the terminal's live meters cost: `needlerec-cli record` with its meters (drawn in place on
# a terminal ten times a second, and as plain lines into a file once a second) and with --quiet,
# beside `arecord -V stereo` recording the same real-time input with its own level meter: a
# PulseAudio null sink's monitor through ALSA's pulse plugin, 44.1 kHz stereo with a tone playing
# into the sink. Each process is measured from /proc over the same window once it runs (start-up
# left out): CPU seconds as a share of one core, and voluntary context switches a second summed
# over its threads (its wake-ups). Prints the figures and the ratios to arecord; asserts nothing.
# Needs pulseaudio, pacat, pactl, sox, arecord and script.
#   bench/terminal_meter_bench.sh [BUILD_FOLDER] [SECONDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
seconds=${2:-20}
rate=44100
cli=$build/cli/needlerec-cli
[ -x "$cli" ] || { echo "terminal_meter_bench: $cli is not built" >&2; exit 1; }
source "$root/bench/pulse_sink.sh"
bench_workdir terminal_meter_bench pulseaudio pacat pactl sox arecord script

# One round measures the four runs one after the other; the rounds alternate them, and each row
# shows the median of its rounds, since this machine's other work moves single figures a lot.
# Five by default: arecord's own figure moves by half from round to round.
rounds=${NEEDLEREC_BENCH_ROUNDS:-5}
start_pulse_sink "$dir" $rate $((rounds * 4 * (seconds + 5) + 60)) terminal_meter_bench

# "CPU-milliseconds voluntary-switches" of process $1 summed over its threads now: the
# scheduler's run time of each thread (microsecond precision, where /proc/PID/stat counts 10 ms
# ticks) and its voluntary context switches.
sample() {
  local pid=$1 task cpu=0 switches=0
  for task in /proc/"$pid"/task/*; do
    read -r c n < <(awk '/^se.sum_exec_runtime/ { c = $3 }
      END { printf "%s ", c + 0 }' "$task/sched" 2>/dev/null
      awk '/^voluntary_ctxt_switches/ { print $2 + 0 }' "$task/status" 2>/dev/null) || continue
    cpu=$(awk -v a="$cpu" -v b="${c:-0}" 'BEGIN { printf "%.6f", a + b }')
    switches=$((switches + ${n:-0}))
  done
  echo "$cpu $switches"
}
# Measures process $1 from 1.5 s after its start for $seconds: "percent-of-a-core wake-ups/s".
measure() {
  local pid=$1 a b
  sleep 1.5
  a=$(sample "$pid")
  sleep "$seconds"
  b=$(sample "$pid")
  awk -v a="$a" -v b="$b" -v s="$seconds" 'BEGIN {
    split(a, x, " "); split(b, y, " ")
    printf "%.3f %.1f", 100 * (y[1] - x[1]) / 1000 / s, (y[2] - x[2]) / s }'
}
run_for=$((seconds + 3))

# Starts a command on a terminal of its own (`script` gives it one; exec makes the command
# script's child) and sets `pid` to the command's process, named $1, and `script_pid`.
on_terminal() {
  local name=$1
  shift
  script -q -c "exec $*" "$dir/$name.tty" >/dev/null 2>&1 &
  script_pid=$!
  pids+=($script_pid)
  pid=
  for _ in $(seq 100); do
    pid=$(pgrep -P $script_pid -x "$name" || true)
    [ -n "$pid" ] && break
    sleep 0.02
  done
  [ -n "$pid" ] || { echo "terminal_meter_bench: $name did not start on its terminal" >&2; exit 1; }
}

declare -A figs=()
for round in $(seq "$rounds"); do
  # arecord with its stereo level meter, redrawn in place on its terminal.
  on_terminal arecord arecord -q -D nr_pulse_mon -f cd -V stereo -d $run_for "$dir/arecord.wav"
  figs[arecord]+="$(measure "$pid");"
  wait "$script_pid" || true
  # needlerec-cli with its meter lines redrawn in place on a terminal.
  on_terminal needlerec-cli "'$cli' record '$dir/tty.wav' --overwrite --device nr_pulse_mon --seconds $run_for"
  figs[tty]+="$(measure "$pid");"
  wait "$script_pid" || true
  # needlerec-cli with plain meter lines into a file, and with none.
  "$cli" record "$dir/plain.wav" --overwrite --device nr_pulse_mon --seconds $run_for >"$dir/plain.out" 2>&1 &
  pid=$!
  figs[plain]+="$(measure $pid);"
  wait $pid || true
  "$cli" record "$dir/quiet.wav" --overwrite --device nr_pulse_mon --seconds $run_for --quiet \
    >"$dir/quiet.out" 2>&1 &
  pid=$!
  figs[quiet]+="$(measure $pid);"
  wait $pid || true
done
# "cpu wakes" of the round with the median CPU figure.
median() {
  tr ';' '\n' <<<"$1" | grep . | sort -n | awk '{ r[NR] = $0 } END { print r[int((NR + 1) / 2)] }'
}
arecord_fig=$(median "${figs[arecord]}")
tty_fig=$(median "${figs[tty]}")
plain_fig=$(median "${figs[plain]}")
quiet_fig=$(median "${figs[quiet]}")

grep -q 'dBFS' "$dir/plain.out" || { echo "terminal_meter_bench: no meter lines" >&2; exit 1; }
arecord_cpu=${arecord_fig%% *}
arecord_wakes=${arecord_fig##* }
printf '%-52s %11s %11s %9s %9s\n' "44.1 kHz stereo from a PulseAudio null sink, $seconds s ($rounds rounds, medians)" \
  "% of a core" "wake-ups/s" "CPU ratio" "wake ratio"
line() {
  local what=$1 cpu=${2%% *} wakes=${2##* } r w
  r=$(awk -v a="$cpu" -v b="$arecord_cpu" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  w=$(awk -v a="$wakes" -v b="$arecord_wakes" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
  printf '%-52s %11s %11s %9s %9s\n' "$what" "$cpu" "$wakes" "$r" "$w"
}
line "arecord -V stereo (level meter on a terminal)" "$arecord_fig"
line "needlerec-cli record, meters on a terminal (10/s)" "$tty_fig"
line "needlerec-cli record, meter lines to a file (1/s)" "$plain_fig"
line "needlerec-cli record --quiet" "$quiet_fig"
