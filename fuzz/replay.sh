#!/usr/bin/env bash
# Replays every fuzz target over its committed corpus (-runs=0): each input
# once, with the sanitizers and the targets' own checks. A test of the main
# build (fuzz_replay); the targets are those listed in BUILD/targets.txt.
#   fuzz/replay.sh BUILD    (the host build of fuzz/, e.g. build/fuzz-host)
set -uo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
export UBSAN_OPTIONS=print_stacktrace=1
[ -s "$build/targets.txt" ] || { echo "replay: no targets in $build/targets.txt (is fuzz/ built?)"; exit 1; }
failed=0
while read -r target; do
  [ -n "$target" ] || continue
  corpus="$here/corpus/$target"
  count=$(find "$corpus" -type f 2>/dev/null | wc -l)
  if [ "$count" -eq 0 ]; then
    echo "replay: $target has no corpus ($corpus)"; failed=1; continue
  fi
  # libFuzzer reads the folder's files and runs each once; nothing is written.
  if log=$("$build/$target" -runs=0 "$corpus" 2>&1); then
    echo "replay: $target: $count inputs, no finding"
  else
    echo "$log" | tail -n 40
    echo "replay: $target: FAILED"; failed=1
  fi
done <"$build/targets.txt"
exit $failed
