# Sourced by the benchmarks that record a real-time input.

# Checks that the tools are installed, then makes the temporary folder `dir` and the list `pids`
# of the processes started in the background; both are cleaned up when the script exits.
#   bench_workdir NAME TOOL...
bench_workdir() {
  local name=$1 tool
  shift
  for tool in "$@"; do
    command -v "$tool" >/dev/null || { echo "$name: $tool is missing" >&2; exit 1; }
  done
  dir=$(mktemp -d "/tmp/needlerec-$name-XXXXXX")
  pids=()
  trap bench_cleanup EXIT
}
bench_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$dir"
}

# A PulseAudio server of the benchmark's own in
# DIR with a null sink `vsink` at RATE Hz, a 441 Hz tone played into it for SECONDS, and the
# ALSA device `nr_pulse_mon` (the sink's monitor, through ALSA's pulse plugin) as the program's
# only input device. Appends the processes it starts to the caller's `pids` array.
#   start_pulse_sink DIR RATE SECONDS NAME
start_pulse_sink() {
  local dir=$1 rate=$2 seconds=$3 name=$4
  mkdir -p "$dir/run"
  chmod 700 "$dir/run"
  export HOME=$dir XDG_RUNTIME_DIR=$dir/run PULSE_SERVER=unix:$dir/pulse.sock
  pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 \
    --load="module-null-sink sink_name=vsink rate=$rate channels=2" \
    --load="module-native-protocol-unix auth-anonymous=1 socket=$dir/pulse.sock" \
    >"$dir/pulse.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.05; done
  pactl info >/dev/null 2>&1 || { echo "$name: PulseAudio did not start" >&2; exit 1; }
  sox -q -n -r "$rate" -c 2 -b 16 -e signed -t raw - synth "$seconds" sine 441 vol 0.5 |
    pacat --raw --rate="$rate" --channels=2 --format=s16le -d vsink >/dev/null 2>&1 &
  pids+=($!)
  cat >"$dir/asound.conf" <<EOF
pcm.nr_pulse_mon { type pulse server "unix:$dir/pulse.sock" device "vsink.monitor" }
EOF
  export ALSA_CONFIG_PATH=$dir/asound.conf NEEDLEREC_ALSA_DEVICES=nr_pulse_mon
}
