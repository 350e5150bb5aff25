#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder, checks its control fields and
# contents, checks that every package it depends on exists on this machine (so dpkg -i would
# accept it), then unpacks it into a throw-away root and runs needlerec-cli from there, with
# nothing from the build tree on its library path.
# Usage: deb_test.sh BUILD_DIR NEEDLEREC NEEDLEREC_CLI
set -euo pipefail

source "$(dirname "$0")/common.sh"

# -B keeps cpack's staging and the package out of the build tree.
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 || {
  cat "$tmp/cpack.log"
  fail "cpack -G DEB failed"
}
debs=("$tmp"/out/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || {
  cat "$tmp/cpack.log"
  fail "cpack made no single .deb: ${debs[*]}"
}
deb=${debs[0]}
echo "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

field() { dpkg-deb --field "$deb" "$1"; }
[ "$(field Package)" = needlerec ] || fail "the package is named '$(field Package)'"
[ "$(field Maintainer)" = "Needle Recorder developers" ] || fail "Maintainer is '$(field Maintainer)'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture '$(field Architecture)'"
depends=$(field Depends)
echo "Depends: $depends"
# The libraries found by dpkg-shlibdeps and the fonts named by hand.
for needed in libqt6widgets6 libasound2 libebur128 fonts-dejavu-core fonts-ipafont-gothic; do
  grep -qE "(^|[ ,|])$needed" <<<"$depends" || fail "Depends lacks $needed"
done
# Each dependency (one of its alternatives) is an installed package here: names dpkg knows.
IFS=',' read -ra clauses <<<"$depends"
for clause in "${clauses[@]}"; do
  met=false
  IFS='|' read -ra alternatives <<<"$clause"
  for alternative in "${alternatives[@]}"; do
    name=$(awk '{print $1}' <<<"$alternative")
    name=${name%%:*}
    if dpkg-query -W -f='${db:Status-Status}\n' "$name" 2>/dev/null | grep -qx installed; then
      met=true
    fi
  done
  $met || fail "no package of the dependency '$clause' is installed here"
done

# The files land under /usr, as a package's must.
dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's,^\./,/,' >"$tmp/contents"
for f in /usr/bin/needlerec /usr/bin/needlerec-cli /usr/share/applications/needlerec.desktop \
  /usr/share/icons/hicolor/scalable/apps/needlerec.svg /usr/share/man/man1/needlerec.1 \
  /usr/share/man/man1/needlerec-cli.1 /usr/share/bash-completion/completions/needlerec-cli \
  /usr/share/zsh/vendor-completions/_needlerec-cli; do
  grep -qx "$f" "$tmp/contents" || fail "$f is not in the package"
done
if grep -vE '^/(usr(/.*)?)?/?$' "$tmp/contents"; then
  fail "the package puts files outside /usr (above)"
fi

root=$tmp/root
dpkg -x "$deb" "$root"
out=$(env -u LD_LIBRARY_PATH "$root/usr/bin/needlerec-cli" --help 2>"$tmp/help.err") ||
  fail "needlerec-cli --help from the package exits $?: $(cat "$tmp/help.err")"
grep -q 'needlerec-cli record' <<<"$out" || fail "needlerec-cli --help printed no usage: $out"
echo "needlerec-cli --help ran from $root/usr/bin"
