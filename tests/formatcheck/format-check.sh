#!/usr/bin/env bash
# The formats' compile-time check, proven with the build's own compilers:
#   format-check.sh <cases.cpp> <compiler>... -- <compile flags>...
# For each compiler, the case file's accepted calls alone must build, and with
# its refused calls every error must stand on a line marked "// refused: RULE"
# and say RULE, and every marked line must have such an error. (A setup that
# cannot compile at all fails the first step; a check that accepts everything
# fails the second.)
set -uo pipefail
cases=$1; shift
compilers=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do compilers+=("$1"); shift; done
shift
flags=("$@" -fsyntax-only -fno-diagnostics-show-caret -fdiagnostics-color=never)
name=$(basename "$cases")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

declare -A rule=()
while IFS=: read -r line text; do
  rule[$line]=${text#*// refused: }
done < <(grep -n '// refused: ' "$cases")
[ ${#rule[@]} -gt 0 ] || fail "$name marks no refused call"

for cxx in "${compilers[@]}"; do
  if ! out=$("$cxx" "${flags[@]}" -DQEL_ACCEPTED_ONLY "$cases" 2>&1); then
    fail "$cxx: the accepted calls do not build"
    echo "$out" | head -n 40
    continue
  fi
  out=$("$cxx" "${flags[@]}" "$cases" 2>&1) && fail "$cxx: the refused calls build"
  # Each error belongs to the last line of the case file named before it (the
  # call whose constant evaluation or instantiation failed).
  before=$failures
  declare -A said=()
  while IFS=$'\t' read -r line error; do
    if [ -z "${rule[$line]:-}" ]; then
      fail "$cxx: an error at $name:$line, which is not a refused call: $error"
    elif [[ $error == *"${rule[$line]}"* ]]; then
      said[$line]=1
    fi
  done < <(echo "$out" | awk -v name="$name" '
    match($0, name ":[0-9]+:") { line = substr($0, RSTART + length(name) + 1, RLENGTH - length(name) - 2) }
    / error: / { print line "\t" $0 }')
  for line in "${!rule[@]}"; do
    [ -n "${said[$line]:-}" ] || fail "$cxx: $name:$line built or failed for another reason than \"${rule[$line]}\""
  done
  unset said
  [ $failures -eq $before ] && echo "$cxx: the accepted calls build; ${#rule[@]} refused calls fail, each for its rule"
done
exit $((failures > 0))
