#!/usr/bin/env bash
# Runs README.md's runnable examples as a newcomer types them, so that a
# renamed option, path or program fails the test run, not the next reader:
#   readme-examples.sh SOURCE WORK
# A runnable example is a ```sh block on the line right after the marker
#   <!-- README test: runs this block -->
# Other blocks (commands for Windows, the whole test run, values to fill in)
# are not marked. The marked blocks run in the order they stand, as one shell
# session in SOURCE (a variable one exports, the next uses), with -e, -u and
# pipefail: the first command that fails ends the test, and the log names its
# block.
set -uo pipefail
source_dir=$1 work=$2
marker='<!-- README test: runs this block -->'

rm -rf "$work"
mkdir -p "$work"
session="$work/session.sh"
awk -v marker="$marker" '
  $0 == marker { marked = 1; next }
  marked && $0 == "```sh" { blocks++; inside = 1; marked = 0
                            printf "echo \"== README.md line %d\"\n", NR + 1; next }
  inside && $0 == "```" { inside = 0; next }
  inside { print; next }
  { marked = 0 }
  END { if (blocks == 0) exit 1 }
' "$source_dir/README.md" >"$session" || { echo "FAIL: no block of README.md is marked '$marker'"; exit 1; }
blocks=$(grep -c '^echo "== README.md line' "$session")

log="$work/session.log"
(cd "$source_dir" && bash -euo pipefail "$session") >"$log" 2>&1 </dev/null
rc=$?
if [ $rc -ne 0 ]; then
  echo "FAIL: a README example failed (exit $rc); the end of what it printed:"
  tail -n 40 "$log"
  echo "(the session: $session, its output: $log)"
  exit 1
fi
rm -rf "$work"
echo "README.md: $blocks marked blocks ran as written"
