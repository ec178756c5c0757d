#!/usr/bin/env bash
# The same source builds to the same bytes in another folder, and a detached
# signature rebuilds the signed program:
#   reproducible-build.sh SOURCE BUILD WORK
# SOURCE and BUILD are this build (preset windows). The source's files are
# copied to a folder under WORK whose path has another length, configured with
# the same preset into a build folder of another length, and a cheap part of
# the build is made there: the program's entry point (the generated trust
# anchors, the log call's file names), one batch of the product's sources (the
# jobs, a few thousand lines with their debug information, naming the headers
# of the eight folders they see through the layers' include roots), its version
# resource (the resource compiler), the delay-load
# libraries (archives) and a small program with its debug file and debug link
# (trustsample: the link's time stamp, the debug file's paths, the link's
# checksum). Each must be identical to this build's, hold neither folder, and
# name headers by their folders, not by the include roots.
# Then the release signing (cmake/release-sign.sh) with the test PKI's
# certificate: the detached signature attached to the unsigned program gives
# the signed one byte for byte, and attached to a program changed by one byte
# it is refused.
set -uo pipefail
source_dir=$1 build=$2 work=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rm -rf "$work"
copy="$work/a-copy-of-the-source-at-a-longer-path/source"
mkdir -p "$copy"
if git -C "$source_dir" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
     tar --null --files-from=- --create --file=-) | tar --extract --file=- --directory="$copy"
else
  tar --create --file=- --exclude='./build*' -C "$source_dir" . | tar --extract --file=- --directory="$copy"
fi
other="$copy/out"

parts=(app/CMakeFiles/qel_app.dir/QELCommonBuild.cpp.obj jobs/CMakeFiles/qel_jobs.dir/Unity/unity_0_cxx.cxx.obj
       app/CMakeFiles/QELCommonBuild.dir/QELCommonBuild.rc.res
       bin/trustsample.exe bin/trustsample.exe.debug)
for dll in $(cd "$build" && ls delaylib/*.a); do parts+=("$dll"); done
(cd "$copy" && cmake --preset windows -B "$other" >"$work/configure.log" 2>&1) ||
  { cat "$work/configure.log"; exit 1; }
targets=()
for part in "${parts[@]}"; do
  case $part in bin/trustsample.exe) targets+=(trustsample) ;; bin/*) ;; *) targets+=("$part") ;; esac
done
(cd "$other" && ninja "${targets[@]}" >"$work/build.log" 2>&1) || { cat "$work/build.log"; exit 1; }

for part in "${parts[@]}"; do
  if ! cmp -s "$build/$part" "$other/$part"; then
    fail "$part differs between $build and $other ($(cmp -l "$build/$part" "$other/$part" 2>/dev/null | wc -l) bytes)"
  elif grep -q -a -F -e "$source_dir" -e "$copy" "$other/$part"; then
    fail "$part holds a build path"
  elif grep -q -a -F "./layers/" "$other/$part"; then
    fail "$part names a header by a layer's include root, not by its folder"
  else
    echo "identical: $part"
  fi
done

# Signing: the property a third party relies on, and its refusal.
pki="$source_dir/testbed/pki"
signing="$work/signing"
mkdir -p "$signing"
cp "$build/bin/trustsample.exe" "$signing/sample.exe"
if bash "$source_dir/cmake/release-sign.sh" "$pki/tarsen.chain.pem" "$pki/tarsen.key" - "$signing" sample.exe; then
  cp "$signing/sample.exe" "$signing/changed.exe"
  printf '\x01' | dd of="$signing/changed.exe" bs=1 seek=1024 conv=notrunc status=none
  if osslsigncode attach-signature -sigin "$signing/sample.exe.sig" -CAfile "$pki/tarsen.chain.pem" \
       -in "$signing/changed.exe" -out "$signing/changed-signed.exe" >"$work/attach.log" 2>&1; then
    fail "the detached signature was attached to a changed program"
  else
    echo "refused: the detached signature on a program changed by one byte"
  fi
else
  fail "release-sign.sh did not sign and re-attach with the test PKI's certificate"
fi

[ $failures -eq 0 ] || { echo "$failures check(s) failed (kept: $work)"; exit 1; }
rm -rf "$work"
echo "reproducible: ${#parts[@]} files identical; detached signature round trip and refusal"
