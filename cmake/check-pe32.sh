#!/usr/bin/env bash
# Checks the 32-bit build's files without running them (this machine cannot run
# 32-bit programs):  check-pe32.sh <triple> <bin folder>
#   - every shipped program and library stand-in is a PE32 image for i386;
#   - the shipped programs import only system DLLs, nothing of the compiler's
#     runtime (they are linked statically) and no function that only 64-bit
#     Windows has; the names they look up at run time (delay-loaded functions,
#     GetProcAddress) are undecorated, as 32-bit system DLLs export them;
#   - the library stand-ins export, undecorated, every name the program asks
#     GetProcAddress (or COM) for, and nothing decorated (Name@bytes).
set -uo pipefail
triple=$1; bin=$2
objdump=$triple-objdump
failures=0
scratch=$(mktemp)
trap 'rm -f "$scratch"' EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

shipped=(QELCommonBuild.exe qelstore.exe qeltrust.exe)
# The library stand-ins and what the program looks up in each.
declare -A exports=(
  [QELKrsIntegrate.dll]="AddQelIntoRvnQueryparam UpdateOobeDoneState UpdateJEulaAcceptance RunKrsAutoDownload IsKrsAutoDownloadCompleted IsAutodownloadMaxAttemptOver"
  [ForeignScan.dll]="IsAnyThirdPartyProductInstalled"
  [tsguard.dll]="NotComDllGetInterface"
  [ZEPClient.dll]="DllGetClassObject DllCanUnloadNow"
)
# The program asks for these by name itself (COM asks for ZEPClient's).
program_lookups="AddQelIntoRvnQueryparam UpdateOobeDoneState UpdateJEulaAcceptance RunKrsAutoDownload IsKrsAutoDownloadCompleted IsAutodownloadMaxAttemptOver IsAnyThirdPartyProductInstalled NotComDllGetInterface"
# Functions only 64-bit Windows exports (unwind tables and the like).
x64_only='^(RtlAddFunctionTable|RtlDeleteFunctionTable|RtlInstallFunctionTableCallback|RtlLookupFunctionEntry|RtlVirtualUnwind|RtlUnwindEx|RtlAddGrowableFunctionTable|RtlGrowFunctionTable|RtlDeleteGrowableFunctionTable)$'
# The compiler's runtime DLLs: a statically linked program imports none.
runtime_dlls='^(libgcc_s_.*|libstdc\+\+-6|libwinpthread-1|libssp-0)\.dll$'

check_pe32() {
  local file=$1 header
  header=$($objdump -f "$file" 2>&1) || { fail "$file: not readable by $objdump"; return 1; }
  grep -q 'file format pei-i386' <<<"$header" || fail "$file: not a PE32 i386 image ($(grep -o 'file format .*' <<<"$header"))"
  grep -q 'architecture: i386' <<<"$header" || fail "$file: machine is not i386"
  grep -Eq '^Magic[[:space:]]+010b' <<<"$($objdump -p "$file")" || fail "$file: optional header is not PE32 (magic 010b)"
}

# "DLL function" lines of the ordinary import table.
imports() {
  $objdump -p "$1" | awk '/DLL Name:/ {dll=$3; next} /^$/ {dll=""} dll && NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3}'
}

for name in "${shipped[@]}"; do
  file=$bin/$name before=$failures
  [ -f "$file" ] || { fail "$name: not built"; continue; }
  check_pe32 "$file"
  list=$(imports "$file")
  dlls=$($objdump -p "$file" | sed -n 's/.*DLL Name: //p' | sort -u)
  [ -n "$dlls" ] || fail "$name: no import table"
  for dll in $dlls; do
    grep -Eiq "$runtime_dlls" <<<"$dll" && fail "$name: imports the compiler's runtime $dll (not linked statically)"
    [ -f "/usr/$triple/lib/lib$(tr 'A-Z' 'a-z' <<<"${dll%.*}").a" ] || fail "$name: imports $dll, which is no system DLL of $triple"
  done
  while read -r dll function; do
    [ -n "$function" ] || continue
    grep -Eq "$x64_only" <<<"$function" && fail "$name: imports $function from $dll, which only 64-bit Windows has"
    [[ $function == *@* ]] && fail "$name: imports the decorated name $function from $dll"
  done <<<"$list"
  # Names looked up at run time (delay-load name tables, GetProcAddress) are plain strings in the
  # image; the symbol table, which only tools read, is left out.
  $triple-objcopy --strip-all "$file" "$scratch"
  decorated=$($triple-strings -a -n 4 "$scratch" | grep -E '^_?[A-Z][A-Za-z0-9_]{4,}@[0-9]{1,3}$' | head -n 5)
  [ -z "$decorated" ] || fail "$name: decorated names in the image: $(tr '\n' ' ' <<<"$decorated")"
  [ "$(grep -c . <<<"$list")" -gt 0 ] || fail "$name: imports no function"
  [ $failures -gt $before ] || echo "ok: $name: PE32 i386, imports $(tr '\n' ' ' <<<"$dlls")"
done

program_strings=$($triple-strings -a -n 4 "$bin/QELCommonBuild.exe" 2>/dev/null)
for export in $program_lookups; do
  grep -qx "$export" <<<"$program_strings" || fail "QELCommonBuild.exe does not ask for $export (list in this script out of date?)"
done
for library in "${!exports[@]}"; do
  file=$bin/$library before=$failures
  [ -f "$file" ] || { fail "$library: not built"; continue; }
  check_pe32 "$file"
  table=$($objdump -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^\t\[/ {print $NF}')
  for export in ${exports[$library]}; do
    grep -qx "$export" <<<"$table" || fail "$library: does not export $export undecorated (exports: $(tr '\n' ' ' <<<"$table"))"
  done
  grep -q '@' <<<"$table" && fail "$library: exports decorated names: $(grep '@' <<<"$table" | tr '\n' ' ')"
  [ $failures -gt $before ] || echo "ok: $library: PE32 i386, exports $(tr '\n' ' ' <<<"$table")"
done

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
