#!/usr/bin/env bash
# The data store file checked with openssl, outside Windows and the product:
# what the product writes is exactly AES-256-CBC (IV 0, PKCS#7) of the UTF-16LE
# document text, and a file openssl enciphers is read by the product.
#   datastore-openssl.sh TEMPLATE WORKDIR BINDIR   (qelstore runs in a copy of the template prefix)
set -uo pipefail
template=$1; work=$2; bin=$3
here=$(cd "$(dirname "$0")/../../cmake" && pwd)
. "$here/wine-env.sh"
. "$here/wine-prefix.sh"
export LC_ALL=C.UTF-8   # how Wine decodes the command-line arguments handed to qelstore

[ -f "$template/.qel-template-ready" ] || "$here/wine-template.sh" "$template" || exit 1
qel_prefix_copy "$template" "$work"
export WINEPREFIX="$work"
"$WINESERVER" -p
stop() { "$WINESERVER" -k 2>/dev/null; "$WINESERVER" -w 2>/dev/null; }
trap stop EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { if "${@:2}"; then echo "PASS: $1"; else fail "$1"; fi; }
qelstore() { "$WINE64" "$bin/qelstore.exe" "$@"; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE; }
iv=00000000000000000000000000000000
# The store file deciphers to exactly this text (openssl also checks the padding).
holds() { openssl enc -d -aes-256-cbc -K "$key" -iv $iv -in "$store" | cmp -s - <(utf16 "$1"); }

store="$work/drive_c/ProgramData/Tarsen/QEL/qeldata.dat"
mkdir -p "$(dirname "$store")"
"$WINE64" reg add 'HKLM\SOFTWARE\Tarsen\QEL\CORE' /v DBPath /d 'C:\ProgramData\Tarsen\QEL' /f >/dev/null
key=$(openssl rand -hex 32)
check "qelstore keygen --key" qelstore keygen --key "$key"

# 1. What the product writes, deciphered by openssl: no header, byte-order mark or terminator.
qelstore set status krsdownloadcount 2 && qelstore set status a 'say "hi" C:\x\' && qelstore set status B 'é€😀' &&
  qelstore set oobestate 1 && qelstore set eula eulastate 1 || fail "qelstore set"
check "the product's file is AES-256-CBC of the UTF-16LE text" holds \
  '{ "oobe":{"oobestate":"1"},"Packages":[],"ScheduleTask":[],"eula":{"eulastate":"1"},"Entitlement":{"B":"é€😀","a":"say \"hi\" C:\\x\\","krsdownloadcount":"2"} }'

# 2. A file enciphered by openssl, read and saved back by the product.
theirs='{"Entitlement":{"k":"from openssl"},"ScheduleTask":[{"Name":"KRSDownload","Param":"/context=2"}],"Packages":[{"PkgID":"p1","AutoDownLoadFlag":"1"}],"Other":{"x":"y"}}'
utf16 "$theirs" | openssl enc -aes-256-cbc -K "$key" -iv $iv -out "$store"
check "the product reads an openssl-enciphered file" [ "$(qelstore get status k)" = "from openssl" ]
qelstore set status k2 v2 || fail "qelstore set on the openssl file"
check "saved back in the fixed form, the other program's member kept" holds \
  '{ "oobe":{},"Packages":[{"AutoDownLoadFlag":"1","PkgID":"p1"}],"ScheduleTask":[{"Name":"KRSDownload","Param":"/context=2"}],"eula":{},"Entitlement":{"k":"from openssl","k2":"v2"},"Other":{"x":"y"} }'

echo "$failures failure(s)"
stop
trap - EXIT
if [ $failures -eq 0 ] && [ "${QEL_KEEP_PREFIX:-0}" != 1 ]; then rm -rf "$work"; else echo "(prefix kept: $work)"; fi
[ $failures -eq 0 ]
