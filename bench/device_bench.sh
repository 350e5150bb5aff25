#!/usr/bin/env bash
# CPU cost of the play and record chains on the virtual devices, run free at a high
# NEEDLEREC_VIRTUAL_SPEED: CPU seconds (all threads, user + system) per hour of audio, for the
# whole chain (file and ring buffer included) and for the device engine alone.
#   bench/device_bench.sh [BUILD_FOLDER] [AUDIO_SECONDS] [SPEED]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
seconds=${2:-300}
export NEEDLEREC_VIRTUAL_SPEED=${3:-50}
export NEEDLEREC_ALSA_DEVICES=  # the virtual devices only
driver=$build/bench/device_driver
[ -x "$driver" ] || { echo "device_bench: $driver is not built" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT

record_chain=$("$driver" record-chain "$dir/rec.wav" "$seconds")
play_chain=$("$driver" play-chain "$dir/rec.wav")
record_engine=$("$driver" record-engine "$seconds")
play_engine=$("$driver" play-engine "$seconds")

printf '%-52s %14s\n' "Virtual devices at ${NEEDLEREC_VIRTUAL_SPEED}x, $seconds s of 44.1 kHz stereo" "CPU s / hour"
printf '%-52s %14s\n' "record: TMMWaveIn -> ring -> TMMWaveFile" "$record_chain"
printf '%-52s %14s\n' "record engine: TMMWaveIn -> (dropped)" "$record_engine"
printf '%-52s %14s\n' "play: TMMWaveFile -> ring -> TMMWaveOut" "$play_chain"
printf '%-52s %14s\n' "play engine: (memory) -> TMMWaveOut" "$play_engine"
