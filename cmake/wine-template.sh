#!/usr/bin/env bash
# Makes the template Wine prefix of one build folder. Test runs never touch it:
# each one works in its own copy (see wine-run.sh).
set -euo pipefail
template=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

# The stamp is this script's own checksum: a template made by another version
# of the script is made again.
stamp=$(sha1sum "${BASH_SOURCE[0]}" | cut -c1-16)
if [ "$(cat "$template/.qel-template-ready" 2>/dev/null)" = "$stamp" ]; then exit 0; fi
# One attempt at the whole prefix. Now and then one of Wine's own programs
# fails while a prefix comes up (once seen here: the build stopped with no
# word from any step); that is the test machine, not the program under test,
# so a failed attempt is made again, at most twice, and said.
make_prefix() (
  set -e
  rm -rf "$template" "$template.partial"
  mkdir -p "$(dirname "$template")"
  export WINEPREFIX="$template.partial"
  "$WINE64" wineboot --init >/dev/null 2>&1 || true
  "$WINESERVER" -w
  test -f "$WINEPREFIX/system.reg" || { echo "wineboot did not create a prefix in $WINEPREFIX" >&2; exit 1; }
  # Headless desktop: with the null display driver the desktop process comes up
  # and stays while programs use it, as a machine's desktop does. Without it every
  # program that touches user32's desktop (WMI does, through its display classes)
  # starts a desktop process that fails and exits, costing each run ~80 ms.
  # No visual theme either, as on a server: otherwise every program whose imports
  # reach comctl32 (WMI's do) parses the theme file when it starts.
  "$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  "$WINE64" reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\ThemeManager' /v ThemeActive /d 0 /f >/dev/null
  # A program that crashes gets its backtrace written to stderr and ends; the
  # crash dialog would wait for a click that never comes on a headless machine.
  "$WINE64" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null
  "$WINESERVER" -w
  echo "$stamp" > "$WINEPREFIX/.qel-template-ready"
  mv "$WINEPREFIX" "$template"
)
# (Called outside any condition, so that the attempt stops at its first failure.)
for attempt in 1 2 3; do
  set +e
  make_prefix
  made=$?
  set -e
  [ "$made" -ne 0 ] || exit 0
  echo "note: making the template Wine prefix failed (attempt $attempt)" >&2
done
exit 1
