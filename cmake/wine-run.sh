#!/usr/bin/env bash
# Runs one Windows program in a private copy of the template prefix:
#   wine-run.sh TEMPLATE WORKDIR PROGRAM [ARGS...]
# (cmake/wine-prefix.sh makes the copy.) A persistent wineserver
# serves the copy while the program runs, so the processes a test starts come
# up in a tenth of a second. The copy is removed after a passing run and kept
# for inspection after a failing one. QEL_KEEP_PREFIX=1 always keeps it.
set -uo pipefail
template=$1; work=$2; shift 2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
. "$here/wine-prefix.sh"

"$here/wine-template.sh" "$template" || exit 1

qel_prefix_copy "$template" "$work"

export WINEPREFIX="$work"
# A program that dies of a stack overflow can leave Wine with exit status 0.
# GoogleTest programs create this file when they start and remove it when they
# end normally, so a file left behind marks a run that ended prematurely.
premature="$work.premature-exit"
rm -f "$premature"
export TEST_PREMATURE_EXIT_FILE="Z:$premature"
"$WINESERVER" -p
"$WINE64" "$@"
rc=$?
if [ -e "$premature" ]; then
  echo "$(basename "$1") ended prematurely (crashed?) with exit status $rc" >&2
  rm -f "$premature"
  rc=1
fi
"$WINESERVER" -k 2>/dev/null
"$WINESERVER" -w 2>/dev/null
if [ $rc -eq 0 ] && [ "${QEL_KEEP_PREFIX:-0}" != 1 ]; then
  rm -rf "$work"
else
  echo "(prefix kept: $work)" >&2
fi
exit $rc
