#!/usr/bin/env bash
# Makes the template Wine prefix of one build folder. Test runs never touch it:
# each one works in its own copy (see wine-run.sh).
set -euo pipefail
template=$1
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"

if [ -f "$template/.qel-template-ready" ]; then exit 0; fi
rm -rf "$template" "$template.partial"
mkdir -p "$(dirname "$template")"
export WINEPREFIX="$template.partial"
"$WINE64" wineboot --init >/dev/null 2>&1 || true
"$WINESERVER" -w
test -f "$WINEPREFIX/system.reg" || { echo "wineboot did not create a prefix in $WINEPREFIX" >&2; exit 1; }
touch "$WINEPREFIX/.qel-template-ready"
mv "$WINEPREFIX" "$template"
