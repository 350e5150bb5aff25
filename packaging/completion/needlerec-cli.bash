# bash completion for needlerec-cli: the commands, each command's options, the sample rates,
# the device names that `needlerec-cli devices --json` lists at the moment of completing, and
# WAVE files for FILE. Works with or without the bash-completion package loaded.

# Prints the "name" of every device in one list ("inputs" or "outputs") of the JSON that
# `needlerec-cli devices --json` writes, one a line. A name with an escaped control character
# cannot be typed as one word and is left out.
_needlerec_cli_device_names() {
  local prog=$1 section=$2
  "$prog" devices --json 2>/dev/null | awk -v want="$section" '
    { s = s $0 "\n" }
    END {
      n = length(s); depth = 0; section = ""; key = ""; i = 1
      while (i <= n) {
        c = substr(s, i, 1)
        if (c == "\"") {
          v = ""; odd = 0; i++
          while (i <= n) {
            c = substr(s, i, 1)
            if (c == "\\") {
              e = substr(s, i + 1, 1)
              if (e == "u") { odd = 1; i += 6; continue }
              v = v e; i += 2; continue
            }
            if (c == "\"") break
            v = v c; i++
          }
          i++
          j = i
          while (substr(s, j, 1) ~ /[ \t\r\n]/) j++
          if (substr(s, j, 1) == ":") {
            key = v
            if (depth == 1) section = v
            i = j + 1
            continue
          }
          if (depth == 3 && section == want && key == "name" && !odd && v != "") print v
          continue
        }
        if (c == "{" || c == "[") depth++
        else if (c == "}" || c == "]") depth--
        i++
      }
    }'
}

_needlerec_cli() {
  local cword=$COMP_CWORD cur=${COMP_WORDS[COMP_CWORD]}
  local prog=${COMP_WORDS[0]} cmd="" file="" option="" word i j
  COMPREPLY=()

  # The program as typed, so that a build tree's needlerec-cli lists its own devices.
  [[ $prog == "~/"* ]] && prog=$HOME/${prog#"~/"}
  command -v -- "$prog" >/dev/null 2>&1 || prog=needlerec-cli

  # With `=` among the word breaks, `--rate=4` arrives as `--rate` `=` `4`.
  if [[ $cur == "=" && $cword -ge 2 ]]; then
    option=${COMP_WORDS[cword - 1]}
    cur=""
  elif [[ ${COMP_WORDS[cword - 1]} == "=" && $cword -ge 3 ]]; then
    option=${COMP_WORDS[cword - 2]}
  fi

  # The command, FILE if it is given already, and whether the word before the one completed
  # is an option that wants a value.
  local ends=false wants=""
  for ((i = 1; i < cword; i++)); do
    word=${COMP_WORDS[i]}
    if [[ -n $wants ]]; then
      wants=""
      [[ $word == "=" ]] && wants=value
      continue
    fi
    if [[ -z $cmd ]]; then
      [[ $word == -* ]] || cmd=$word
      continue
    fi
    if ! $ends; then
      case $word in
        --) ends=true; continue ;;
        --device | --rate | --seconds | --buffer | --ref-level) wants=$word; continue ;;
        --*) continue ;;
        -?*)
          # A cluster of short options: the first that takes a value takes the rest of the
          # word, or the next word when it is the last letter.
          for ((j = 1; j < ${#word}; j++)); do
            case ${word:j:1} in
              D | r | d)
                ((j == ${#word} - 1)) && wants=-${word:j:1}
                break
                ;;
            esac
          done
          continue
          ;;
      esac
    fi
    [[ -z $file ]] && file=$word
  done
  [[ -z $option && -n $wants && $wants != value ]] && option=$wants

  if [[ -z $cmd ]]; then
    if [[ $cur == -* ]]; then
      COMPREPLY=($(compgen -W "--help --version -V" -- "$cur"))
    else
      COMPREPLY=($(compgen -W "devices info levels play record monitor" -- "$cur"))
    fi
    return 0
  fi

  case $option in
    -D | --device)
      local section=inputs name typed=$cur quote=""
      [[ $cmd == play ]] && section=outputs
      # A name begun in quotes is matched without them and offered as it is (readline
      # completes inside the quotes); otherwise backslashes are the shell's escapes.
      if [[ $typed == [\"\']* ]]; then
        quote=${typed:0:1}
        typed=${typed:1}
      else
        typed=${typed//\\/}
      fi
      local names
      mapfile -t names < <(_needlerec_cli_device_names "$prog" "$section")
      names+=(virtual)
      for name in "${names[@]}"; do
        [[ $name == "$typed"* ]] || continue
        if [[ -n $quote ]]; then
          COMPREPLY+=("$name")
        else
          COMPREPLY+=("$(printf '%q' "$name")")
        fi
      done
      return 0
      ;;
    -r | --rate)
      COMPREPLY=($(compgen -W "44100 48000" -- "$cur"))
      return 0
      ;;
    -d | --seconds | --buffer | --ref-level)
      return 0
      ;;
  esac

  local options
  case $cmd in
    devices) options="--json --help" ;;
    info) options="--json --help" ;;
    levels) options="--json --ref-level --help" ;;
    play) options="-D --device --help" ;;
    record)
      options="-D --device -r --rate -d --seconds --buffer --ref-level -q --quiet -y"
      options+=" --overwrite --help"
      ;;
    monitor) options="-D --device -r --rate -d --seconds --ref-level -q --quiet --help" ;;
    *) return 0 ;;
  esac

  if [[ $cur == -* ]] && ! $ends; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return 0
  fi

  case $cmd in
    info | levels | play | record)
      if [[ -z $file ]]; then
        # WAVE files and the folders on the way to them.
        compopt -o filenames 2>/dev/null
        local IFS=$'\n'
        COMPREPLY=($(compgen -d -- "$cur")
          $(compgen -f -X '!*.wav' -- "$cur")
          $(compgen -f -X '!*.WAV' -- "$cur"))
      fi
      ;;
  esac
  return 0
}

complete -F _needlerec_cli needlerec-cli
