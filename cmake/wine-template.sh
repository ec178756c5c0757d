#!/usr/bin/env bash
# Makes the template Wine prefix of one build folder. Test runs never touch it:
# each one works in its own copy (see wine-run.sh).
set -euo pipefail
template=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

# The stamp names what the template holds; a template made by an older
# version of this script is made again.
stamp="wine-8 graphics=null"
if [ "$(cat "$template/.qel-template-ready" 2>/dev/null)" = "$stamp" ]; then exit 0; fi
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
"$WINE64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
"$WINESERVER" -w
echo "$stamp" > "$WINEPREFIX/.qel-template-ready"
mv "$WINEPREFIX" "$template"
