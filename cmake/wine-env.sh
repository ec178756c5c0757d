# Shared Wine settings for every script that starts Windows programs (sourced, not run).
# Headless, quiet, no Mono/Gecko installers, 64-bit loader.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
export WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
if command -v wine64 >/dev/null 2>&1; then
  WINE64=$(command -v wine64)
elif [ -x /usr/lib/wine/wine64 ]; then
  WINE64=/usr/lib/wine/wine64
else
  echo "wine64 not found; run scripts/setup" >&2
  return 1 2>/dev/null || exit 1
fi
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINE64 WINESERVER
