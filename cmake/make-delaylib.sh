#!/usr/bin/env bash
# Makes a delay-load import library from a mingw-w64 import library:
#   make-delaylib.sh <import library .a> <output .a>
# Every function the import library exports is listed, so any call of the DLL
# resolves through the delay-load helper and the DLL is loaded on first use.
set -euo pipefail
in=$1; out=$2
triple=x86_64-w64-mingw32
dll=$($triple-dlltool --identify "$in" | head -n 1)
def="${out%.a}.def"
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  $triple-nm "$in" | sed -n 's/.* I __imp_//p' | sort -u
} > "$def"
$triple-dlltool --input-def "$def" --dllname "$dll" --output-delaylib "$out"
