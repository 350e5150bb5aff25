#!/usr/bin/env bash
# The shell completion of needlerec-cli. The bash script is loaded into a non-interactive bash,
# once with the bash-completion package's functions and once without them, and asked for the
# completions of a table of command lines, with the built needlerec-cli first on PATH and no
# sound card (so the devices are the built-in test devices). When zsh is installed, its script
# is checked to load and to register itself for needlerec-cli, and an interactive zsh completes
# a table of lines too.
# Usage: completion_test.sh SOURCE_DIR NEEDLEREC_CLI
set -euo pipefail

source_dir=$1
cli=$2
bash_script=$source_dir/packaging/completion/needlerec-cli.bash
zsh_script=$source_dir/packaging/completion/_needlerec-cli
if [ ! -x "$cli" ]; then
  echo "skipped: $cli is not built in this tree"
  exit 77
fi

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

mkdir -p "$tmp/bin" "$tmp/files/takes"
ln -s "$(realpath "$cli")" "$tmp/bin/needlerec-cli"
touch "$tmp/files/a take.wav" "$tmp/files/LOUD.WAV" "$tmp/files/notes.txt"

# The words of the line, separated by single spaces; the cursor is at the end of the last,
# which may be empty. `=` stands alone, as bash splits `--device=Vir` at it.
# line | a completion that must be offered | one that must not (may be empty)
cases=(
  'needlerec-cli re|record|'
  'needlerec-cli |monitor|--overwrite'
  'needlerec-cli -|--version|record'
  'needlerec-cli record --ra|--rate|--ref-level'
  'needlerec-cli monitor -|--quiet|--overwrite'
  'needlerec-cli info x.wav --|--json|--device'
  'needlerec-cli record x.wav --device Vir|Virtual\ input\ \(test\ signal\)|Virtual\ output\ \(test\ device\)'
  'needlerec-cli record x.wav --device Virtual\ i|Virtual\ input\ \(test\ signal\)|'
  'needlerec-cli record --device "Vir|Virtual input (test signal)|'
  'needlerec-cli monitor --device = v|virtual|'
  'needlerec-cli record -qD |Virtual\ input\ \(test\ signal\)|'
  'needlerec-cli play x.wav -D Vir|Virtual\ output\ \(test\ device\)|Virtual\ input\ \(test\ signal\)'
  'needlerec-cli record x.wav -r |48000|x.wav'
  'needlerec-cli record --rate = 4|44100|'
  'needlerec-cli record -y |a take.wav|notes.txt'
  'needlerec-cli play |LOUD.WAV|notes.txt'
  'needlerec-cli play |takes|--device'
  'needlerec-cli record --seconds ||'
)

completions() { # LOAD_BASH_COMPLETION LINE: the completions, one a line
  (
    cd "$tmp/files"
    export PATH="$tmp/bin:$PATH" NEEDLEREC_ALSA_DEVICES=
    if [ "$1" = yes ]; then
      source /usr/share/bash-completion/bash_completion
    fi
    source "$bash_script"
    read -ra COMP_WORDS <<<"$2"
    [[ $2 == *" " ]] && COMP_WORDS+=("")
    # read splits `Virtual\ i` at the escaped space; the table's words never hold a plain space
    # except after a backslash.
    local words=() w
    for w in "${COMP_WORDS[@]}"; do
      if [ ${#words[@]} -gt 0 ] && [[ ${words[-1]} == *\\ ]]; then
        words[-1]+=" $w"
      else
        words+=("$w")
      fi
    done
    COMP_WORDS=("${words[@]}")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=${2// = /=}
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _needlerec_cli needlerec-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    printf '%s\n' "${COMPREPLY[@]}"
  )
}

loads=(no)
if [ -f /usr/share/bash-completion/bash_completion ]; then
  loads+=(yes)
else
  echo "note: bash-completion is not installed; the script is tried on its own"
fi
for load in "${loads[@]}"; do
  for c in "${cases[@]}"; do
    IFS='|' read -r line want unwanted <<<"$c"
    got=$(completions "$load" "$line") || fail "completing '$line' failed"
    if [ -n "$want" ]; then
      grep -qxF -- "$want" <<<"$got" ||
        fail "'$line' (bash-completion loaded: $load) does not offer '$want' but: ${got//$'\n'/, }"
    else
      [ -z "$got" ] || fail "'$line' offers ${got//$'\n'/, }"
    fi
    if [ -n "$unwanted" ] && grep -qxF -- "$unwanted" <<<"$got"; then
      fail "'$line' (bash-completion loaded: $load) offers '$unwanted'"
    fi
  done
done
echo "bash: ${#cases[@]} lines complete as they should"

# Registered for the program by name, as a new shell finds it in the completions folder.
complete_line=$(bash -c 'source "$1"; complete -p needlerec-cli' _ "$bash_script")
[[ $complete_line == *"-F _needlerec_cli needlerec-cli" ]] || fail "bash registers: $complete_line"

if ! command -v zsh >/dev/null; then
  echo "note: zsh is not installed; its completion is not checked"
  exit 0
fi
zsh -n "$zsh_script" || fail "zsh cannot parse _needlerec-cli"
# compinit finds the function by its #compdef line in a folder of fpath.
mkdir "$tmp/zfunc"
cp "$zsh_script" "$tmp/zfunc/"
registered=$(zsh -f -c 'fpath=("$1" $fpath); autoload -Uz compinit;
  compinit -u -D; print -r -- ${_comps[needlerec-cli]}' _ "$tmp/zfunc")
[ "$registered" = _needlerec-cli ] || fail "zsh's compinit registers '$registered'"

# An interactive zsh on a pseudo-terminal is given the line and a Tab; a key then writes the
# edited line to a file.
cat >"$tmp/type.zsh" <<'EOF_ZSH'
zmodload zsh/zpty
zfunc=$1 out=$2 line=$3
zpty z zsh -f -i
zpty -w z "fpath=(${(q)zfunc} \$fpath); autoload -Uz compinit; compinit -u -D"
zpty -w z "grab() { print -r -- \"\$BUFFER\" >${(q)out}; BUFFER=; zle accept-line }"
zpty -w z "zle -N grab; bindkey '^X' grab"
zpty -n -w z "$line"$'\t\x18'
for i in {1..100}; do [[ -s $out ]] && break; sleep 0.1; done
zpty -d z
EOF_ZSH

# line | the line after a Tab
zsh_cases=(
  'needlerec-cli re|needlerec-cli record '
  'needlerec-cli record --ra|needlerec-cli record --rate='
  'needlerec-cli record x.wav --device Vir|needlerec-cli record x.wav --device Virtual\ input\ \(test\ signal\) '
  'needlerec-cli monitor --device=Vir|needlerec-cli monitor --device=Virtual\ input\ \(test\ signal\) '
  'needlerec-cli play -D Vir|needlerec-cli play -D Virtual\ output\ \(test\ device\) '
  'needlerec-cli record -r 48|needlerec-cli record -r 48000 '
  'needlerec-cli play LO|needlerec-cli play LOUD.WAV '
  'needlerec-cli info ta|needlerec-cli info takes/'
)
n=0
for c in "${zsh_cases[@]}"; do
  IFS='|' read -r line want <<<"$c"
  out=$tmp/zsh-line-$((n++))
  (cd "$tmp/files" && PATH="$tmp/bin:$PATH" NEEDLEREC_ALSA_DEVICES= \
    timeout 60 zsh -f "$tmp/type.zsh" "$tmp/zfunc" "$out" "$line") ||
    fail "zsh did not complete '$line'"
  got=$(cat "$out")
  [ "$got" = "$want" ] || fail "zsh completes '$line' to '$got', not '$want'"
done
echo "zsh: ${#zsh_cases[@]} lines complete as they should"
