#!/usr/bin/env bash
# Installs the build into a temporary prefix, then checks what a desktop finds there: both
# programs, a menu entry that validates and names them, the icon, manual pages that render
# without a warning and describe every command and option the command line's usage lists, and
# the bash and zsh completion of needlerec-cli where the shells look for them.
# Last, the installed window runs as a user who cannot write to bin/ and must keep its settings
# in the XDG config folder.
# Usage: install_test.sh BUILD_DIR NEEDLEREC NEEDLEREC_CLI
set -euo pipefail

source "$(dirname "$0")/common.sh"

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || {
  cat "$tmp/install.log"
  fail "cmake --install failed"
}

for f in bin/needlerec bin/needlerec-cli; do
  [ -x "$prefix/$f" ] || fail "$f is not installed as an executable"
done
entry=$prefix/share/applications/needlerec.desktop
icon=$prefix/share/icons/hicolor/scalable/apps/needlerec.svg
bash_completion=$prefix/share/bash-completion/completions/needlerec-cli
zsh_completion=$prefix/share/zsh/vendor-completions/_needlerec-cli
for f in "$entry" "$icon" "$prefix/share/man/man1/needlerec.1" \
  "$prefix/share/man/man1/needlerec-cli.1" "$bash_completion" "$zsh_completion"; do
  [ -s "$f" ] || fail "${f#"$prefix"/} is missing or empty"
done

# bash-completion loads a command's file by the command's name and expects it to register it.
bash -c 'source "$1" && complete -p needlerec-cli' _ "$bash_completion" >/dev/null ||
  fail "the installed bash completion does not register needlerec-cli"
head -n1 "$zsh_completion" | grep -qx '#compdef needlerec-cli' ||
  fail "the installed zsh completion does not begin with #compdef needlerec-cli"

# The menu entry: valid, and its program and icon are the installed ones.
desktop-file-validate "$entry" || fail "desktop-file-validate rejects the menu entry"
grep -qx 'Exec=needlerec' "$entry" || fail "the menu entry does not start needlerec"
grep -qx 'Name=Needle Recorder' "$entry" || fail "the menu entry's name is not Needle Recorder"
grep -qx 'Categories=AudioVideo;Audio;Recorder;' "$entry" || fail "the menu entry's categories"
icon_name=$(sed -n 's/^Icon=//p' "$entry")
[ "$icon_name" = "$(basename "$icon" .svg)" ] || fail "Icon=$icon_name is not the installed icon"
xmllint --noout "$icon" || fail "the icon is not well-formed SVG"
grep -q '<svg[^>]*viewBox=' "$icon" || fail "the icon has no viewBox and would not scale"

# The manual pages render without a warning.
for page in needlerec needlerec-cli; do
  file=$prefix/share/man/man1/$page.1
  warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z -Tutf8 "$file" 2>&1)
  [ -z "$warnings" ] || fail "$page.1 renders with warnings: $warnings"
  LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$file" >"$tmp/$page.txt" 2>"$tmp/$page.err" ||
    fail "man -l cannot show $page.1: $(cat "$tmp/$page.err")"
  [ ! -s "$tmp/$page.err" ] || fail "man -l warns on $page.1: $(cat "$tmp/$page.err")"
done

# The command-line page keeps up with the program: every command and option in the usage of
# the installed needlerec-cli is described, and so is every exit status.
usage=$("$prefix/bin/needlerec-cli" --help) || fail "the installed needlerec-cli --help fails"
[ -n "$usage" ] || fail "needlerec-cli --help prints nothing"
# The page joins words broken at a hyphen at the end of a line; undo that before searching.
page=$(tr '\n' ' ' <"$tmp/needlerec-cli.txt" | sed 's/‐ *//g; s/- \+/-/g')
words=$(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u)
words+=$'\n'$(grep -oE 'needlerec-cli +[a-z]+' <<<"$usage" | awk '{print $2}' | sort -u)
for w in $words; do
  grep -qF -- "$w" <<<"$page" || fail "needlerec-cli.1 does not describe '$w' of the usage"
done
for status in 0 1 2 3; do
  grep -qE "EXIT STATUS.* $status +[A-Z]" <<<"$page" || fail "needlerec-cli.1 lacks exit status $status"
done

# Installed, bin/ holds no settings file, so the settings go to the XDG config folder. As on a
# real system, bin/ is not writable and the window runs as an unprivileged user.
home=$tmp/home
mkdir -p "$home/runtime"
chmod 700 "$home/runtime"
chmod a-w "$prefix/bin"
run=()
if [ "$(id -u)" -eq 0 ]; then
  chmod 755 "$tmp"
  chown -R nobody:nogroup "$home"
  run=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi
env -u XDG_CONFIG_HOME HOME="$home" QT_QPA_PLATFORM=offscreen NEEDLEREC_QUIT_WHEN_SHOWN=1 \
  NEEDLEREC_ALSA_DEVICES= XDG_RUNTIME_DIR="$home/runtime" "${run[@]}" "$prefix/bin/needlerec" \
  >"$tmp/window.log" 2>&1 || {
  cat "$tmp/window.log"
  fail "the installed needlerec did not start and close"
}
[ ! -e "$prefix/bin/needlerec.ini" ] || fail "the settings were written into bin/"
ini=$home/.config/needlerec/needlerec.ini
[ -s "$ini" ] || {
  find "$tmp" -name '*.ini'
  fail "the settings did not go to ~/.config/needlerec/needlerec.ini"
}
grep -q '^SampleRate=' "$ini" || fail "the settings file holds no settings"
echo "installed and checked under $prefix"
