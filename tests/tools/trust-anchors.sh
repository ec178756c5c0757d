#!/usr/bin/env bash
# A release can never trust the test PKI:
#   trust-anchors.sh SOURCE BUILD WORK
# The release preset (windows-x86) is configured into WORK: without either
# trust anchor it stops with the message that names the value; with any of
# the test PKI's certificates (its roots, or its policy signer beside other
# roots) it stops and names the certificate; with other values it configures,
# and the generated header says the build is not for the test PKI. This build
# (a test preset) says it is, and its qeltrust says so first.
set -uo pipefail
source_dir=$1 build=$2 work=$3
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

preset_value() {
  sed -n "s/.*\"$1\": \"\\([0-9A-F;]*\\)\".*/\\1/p" "$source_dir/CMakePresets.json" | head -n 1
}
test_roots=$(preset_value QEL_ROOT_THUMBPRINTS)
test_signer=$(preset_value QEL_POLICY_SIGNER_THUMBPRINT)
own_roots="1A2B3C4D5E6F708192A3B4C5D6E7F8091A2B3C4D;2A2B3C4D5E6F708192A3B4C5D6E7F8091A2B3C4D;3A2B3C4D5E6F708192A3B4C5D6E7F8091A2B3C4D;4A2B3C4D5E6F708192A3B4C5D6E7F8091A2B3C4D"
own_signer="5A2B3C4D5E6F708192A3B4C5D6E7F8091A2B3C4D"
[ -n "$test_roots" ] && [ -n "$test_signer" ] || { echo "no test PKI values in CMakePresets.json"; exit 1; }
# The test PKI's root "Tarsen Test Root" as one of four otherwise own roots, lower case.
mixed_roots="${own_roots%%;*};$(tr 'A-F' 'a-f' <<<"${test_roots%%;*}");${own_roots#*;*;}"

# configure EXPECT MESSAGE [-D...]: EXPECT is "fails" (MESSAGE must be in the output) or "configures".
configure() {
  local expect=$1 message=$2 folder
  shift 2
  folder="$work/release-$((++runs))"
  (cd "$source_dir" && cmake --preset windows-x86 -B "$folder" "$@") >"$folder.log" 2>&1
  local rc=$?
  if [ "$expect" = fails ]; then
    if [ $rc -eq 0 ]; then fail "configured with $*"
    elif ! grep -q -F "$message" "$folder.log"; then fail "stopped without '$message' ($*):"; cat "$folder.log"
    else echo "refused ($message): $*"; fi
  elif [ $rc -ne 0 ]; then
    fail "did not configure with $*:"; cat "$folder.log"
  fi
}
rm -rf "$work"
mkdir -p "$work"
runs=0
configure fails "QEL_ROOT_THUMBPRINTS must be exactly four"
configure fails "QEL_POLICY_SIGNER_THUMBPRINT must be one" -DQEL_ROOT_THUMBPRINTS="$own_roots"
configure fails "QEL_ROOT_THUMBPRINTS must be exactly four" -DQEL_POLICY_SIGNER_THUMBPRINT="$own_signer"
configure fails "A release never trusts the test PKI" \
  -DQEL_ROOT_THUMBPRINTS="$test_roots" -DQEL_POLICY_SIGNER_THUMBPRINT="$test_signer"
configure fails "testbed/pki/policy-signer.crt" \
  -DQEL_ROOT_THUMBPRINTS="$own_roots" -DQEL_POLICY_SIGNER_THUMBPRINT="$test_signer"
configure fails "testbed/pki/root-tarsen.crt" \
  -DQEL_ROOT_THUMBPRINTS="$mixed_roots" -DQEL_POLICY_SIGNER_THUMBPRINT="$own_signer"
configure configures "" -DQEL_ROOT_THUMBPRINTS="$own_roots" -DQEL_POLICY_SIGNER_THUMBPRINT="$own_signer"
header=generated/trust/TrustAnchors.h
grep -q 'kBuiltForTestPki = false;' "$work/release-$runs/$header" ||
  fail "a release with its own values is marked as built for the test PKI"
grep -q 'kBuiltForTestPki = true;' "$build/$header" || fail "this test build is not marked as built for the test PKI"

# What an engineer sees: qeltrust's policy report opens with it.
# (Into a file: Wine's services, started with the first program, would hold a pipe open.)
"$source_dir/cmake/wine-run.sh" "$build/wine/template" "$work/prefix" "$build/bin/qeltrust.exe" policy \
  >"$work/policy.txt" 2>&1 </dev/null
first=$(head -n 1 "$work/policy.txt" | tr -d '\r')
[ "$first" = "built for the test PKI: not for release" ] || fail "qeltrust policy begins with '$first'"

[ $failures -eq 0 ] || { echo "$failures check(s) failed (kept: $work)"; exit 1; }
rm -rf "$work"
echo "trust anchors: a release refuses missing values and the test PKI's; this build says it is for the test PKI"
