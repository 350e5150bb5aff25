# Sourced by the packaging tests: BUILD_DIR NEEDLEREC NEEDLEREC_CLI from the command line, a
# temporary folder `tmp` removed at the end, and `fail`. A tree that builds only some targets
# (the ThreadSanitizer build) has nothing to install or package: the test is skipped (77).
build=$1
for program in "$2" "$3"; do
  if [ ! -x "$program" ]; then
    echo "skipped: $program is not built in this tree"
    exit 77
  fi
done

tmp=$(mktemp -d)
# Writable again first: a test may take the write permission away from a folder in it.
trap 'chmod -R u+w "$tmp" 2>/dev/null; rm -rf "$tmp"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
