#!/usr/bin/env bash
# Completes the template Wine prefix for signature checks, the way a Windows
# machine is set up (see testbed/README.md):
#   wine-trust.sh TEMPLATE SHIM_DLL TRUSTSETUP_EXE PKI_DIR
# - the shim (AUTHENTICODE_TS chain policy, script package) goes to system32
#   and registers itself with regsvr32;
# - the test PKI's roots that the machine trusts go into its Root store: the
#   two publishers' roots, the spare pinned root and the partner's unpinned
#   root. The pinned root "root-pinned-untrusted" stays out on purpose.
set -euo pipefail
template=$1 shim=$2 setup=$3 pki=$4
here=$(cd "$(dirname "$0")" && pwd)
. "$here/wine-env.sh"
export WINEPREFIX="$template"
rm -f "$template/.qel-trust-ready"
system32="$template/drive_c/windows/system32"
# A fresh file (not written through the hard links that test copies share).
cp --remove-destination "$shim" "$system32/qeltrustshim.dll"
"$WINESERVER" -p
trap '"$WINESERVER" -k 2>/dev/null || true' EXIT
"$WINE64" regsvr32 /s 'C:\windows\system32\qeltrustshim.dll' </dev/null >/dev/null 2>&1
roots=()
for root in root-tarsen root-orvel root-spare root-unpinned; do roots+=("Z:$pki/$root.crt"); done
"$WINE64" "$setup" add-root "${roots[@]}" </dev/null
"$WINESERVER" -k
"$WINESERVER" -w
grep -q 'CertDllVerifyCertificateChainPolicy\\\\#3' "$template/system.reg" ||
  { echo "wine-trust.sh: the chain policy shim did not register" >&2; exit 1; }
touch "$template/.qel-trust-ready"
