#!/usr/bin/env bash
# Start-up time of the program: from process start to the window being shown. The program is
# run headless with NEEDLEREC_QUIT_WHEN_SHOWN, which closes the window as soon as it is shown;
# the figure is the whole run (start, show, close with the settings saved), best and median
# of RUNS runs.
#   bench/startup_bench.sh [BUILD_FOLDER] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-release}
runs=${2:-15}
program=$build/app/needlerec
[ -x "$program" ] || { echo "startup_bench: $program is not built" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -m 700 "$dir/run"
# A settings file beside the copy makes it portable: it writes there, in the temporary folder.
cp "$program" "$dir/needlerec"
: >"$dir/needlerec.ini"
export QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$dir/run NEEDLEREC_QUIT_WHEN_SHOWN=1
export NEEDLEREC_ALSA_DEVICES=  # the virtual devices: no sound card is opened

times=()
for _ in $(seq "$runs"); do
  start=$(date +%s%N)
  "$dir/needlerec"
  end=$(date +%s%N)
  times+=($(((end - start) / 1000)))
done
sorted=($(printf '%s\n' "${times[@]}" | sort -n))
printf '%-44s %10s %10s\n' "needlerec start to shown (and closed)" "best ms" "median ms"
printf '%-44s %10s %10s\n' "$runs runs, offscreen" \
  "$(awk -v t="${sorted[0]}" 'BEGIN { printf "%.1f", t / 1000 }')" \
  "$(awk -v t="${sorted[$((runs / 2))]}" 'BEGIN { printf "%.1f", t / 1000 }')"
