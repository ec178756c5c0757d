#!/usr/bin/env bash
# Makes a delay-load import library from a mingw-w64 import library:
#   make-delaylib.sh <import library .a> <output .a> <triple>
# Every function the import library exports is listed, so any call of the DLL
# resolves through the delay-load helper and the DLL is loaded on first use.
# For i686 the names keep their __stdcall decoration (Name@bytes, what the
# compiler's calls refer to) and the DLL is asked for the undecorated name,
# as the system DLLs export it (dlltool --kill-at).
set -euo pipefail
export LC_ALL=C  # the same order of names on every machine
in=$1; out=$2; triple=${3:-x86_64-w64-mingw32}
dll=$($triple-dlltool --identify "$in" | head -n 1)
def="${out%.a}.def"
case $triple in
  i686-*) imp='__imp__'; kill_at=(--kill-at) ;;
  *) imp='__imp_'; kill_at=() ;;
esac
{
  echo "LIBRARY $dll"
  echo "EXPORTS"
  $triple-nm "$in" | sed -n "s/.* I $imp//p" | sort -u
} > "$def"
# Deterministic members (no dates), named after the library rather than this
# process's id; and the library named without its folder, because dlltool
# makes a symbol of that name (___tailMerge_<name>), which the linked programs
# keep in their symbol tables.
cd "$(dirname "$out")"
$triple-dlltool "${kill_at[@]}" --deterministic-libraries --temp-prefix "$(basename "${out%.a}")" \
  --input-def "$def" --dllname "$dll" --output-delaylib "$(basename "$out")"
