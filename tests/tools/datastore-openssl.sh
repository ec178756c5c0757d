#!/usr/bin/env bash
# The data store file checked with standard tools, outside Windows and outside
# the product: a file the product writes is exactly AES-256-CBC (IV 0, PKCS#7)
# of the UTF-16LE document text, and a file enciphered with openssl is read by
# the product.
#   datastore-openssl.sh TEMPLATE WORKDIR BINDIR
# Runs qelstore in a private copy of the template prefix; openssl and iconv run
# on the host against the files inside that prefix.
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
pass() { echo "PASS: $*"; }
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
qelstore() { "$WINE64" "$bin/qelstore.exe" "$@"; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE; }
decipher() { openssl enc -d -aes-256-cbc -K "$1" -iv 00000000000000000000000000000000 -in "$2"; }
encipher() { openssl enc -aes-256-cbc -K "$1" -iv 00000000000000000000000000000000 -out "$2"; }

folder="$work/drive_c/ProgramData/Tarsen/QEL"
store="$folder/qeldata.dat"
mkdir -p "$folder"
"$WINE64" reg add 'HKLM\SOFTWARE\Tarsen\QEL\CORE' /v DBPath /d 'C:\ProgramData\Tarsen\QEL' /f >/dev/null
key=$(openssl rand -hex 32)
qelstore keygen --key "$key" >/dev/null || fail "qelstore keygen --key"

# 1. What the product writes, deciphered by openssl, byte for byte.
qelstore set status krsdownloadcount 2 &&
  qelstore set status a 'say "hi" C:\x\' &&
  qelstore set status B 'é€😀' &&
  qelstore set oobestate 1 &&
  qelstore set eula eulastate 1 || fail "qelstore set"
expected='{ "oobe":{"oobestate":"1"},"Packages":[],"ScheduleTask":[],"eula":{"eulastate":"1"},"Entitlement":{"B":"é€😀","a":"say \"hi\" C:\\x\\","krsdownloadcount":"2"} }'
if decipher "$key" "$store" > "$work/plain.bin" && cmp -s "$work/plain.bin" <(utf16 "$expected"); then
  pass "the file is AES-256-CBC (IV 0, PKCS#7) of the UTF-16LE text, no BOM, no terminator"
else
  fail "openssl's plaintext differs from the expected text:"
  iconv -f UTF-16LE -t UTF-8 "$work/plain.bin"; echo
fi
plain_bytes=$(utf16 "$expected" | wc -c)
file_bytes=$(stat -c %s "$store")
if [ "$file_bytes" -eq $(( (plain_bytes / 16 + 1) * 16 )) ]; then
  pass "the file holds nothing but the ciphertext ($file_bytes bytes for $plain_bytes bytes of text)"
else
  fail "file is $file_bytes bytes for $plain_bytes bytes of text"
fi
if qelstore dump --raw | cmp -s - <(printf '%s' "$expected"); then
  pass "qelstore dump --raw prints the stored text"
else
  fail "qelstore dump --raw differs"
fi

# 2. A file enciphered by openssl, read by the product.
theirs='{"Entitlement":{"k":"from openssl"},"ScheduleTask":[{"Name":"KRSDownload","Param":"/context=2"}],"Packages":[{"PkgID":"p1","AutoDownLoadFlag":"1"}],"Other":{"x":"y"}}'
utf16 "$theirs" | encipher "$key" "$store"
[ "$(qelstore get status k)" = "from openssl" ] && pass "the product reads an openssl-enciphered file" ||
  fail "qelstore get status k on the openssl file"
[ "$(qelstore packages)" = $'p1\n  AutoDownLoadFlag=1' ] && pass "qelstore packages" || fail "qelstore packages: $(qelstore packages)"
qelstore dump --raw | cmp -s - <(printf '%s' "$theirs") && pass "dump --raw of the openssl file" || fail "dump --raw of the openssl file"
qelstore set status k2 v2 || fail "qelstore set on the openssl file"
rewritten='{ "oobe":{},"Packages":[{"AutoDownLoadFlag":"1","PkgID":"p1"}],"ScheduleTask":[{"Name":"KRSDownload","Param":"/context=2"}],"eula":{},"Entitlement":{"k":"from openssl","k2":"v2"},"Other":{"x":"y"} }'
decipher "$key" "$store" | cmp -s - <(utf16 "$rewritten") &&
  pass "saved back in the fixed form, the other program's member kept" || fail "the rewritten file differs"

# 3. Enciphered under another key: refused, and kept beside the store.
other=$(openssl rand -hex 32)
utf16 "$theirs" | encipher "$other" "$store"
qelstore get status k >/dev/null 2>"$work/err.txt"
rc=$?
[ $rc -eq 4 ] && grep -q "cannot be read" "$work/err.txt" && pass "another key: exit 4 and a clear message" ||
  fail "another key: exit $rc, $(cat "$work/err.txt")"
cmp -s "$store" "$store.unreadable" && pass "the unreadable file is kept as qeldata.dat.unreadable" ||
  fail "no faithful qeldata.dat.unreadable"
decipher "$other" "$store.unreadable" | cmp -s - <(utf16 "$theirs") &&
  pass "the kept copy still deciphers with its own key" || fail "the kept copy"

echo "$failures failure(s)"
stop
trap - EXIT
if [ $failures -eq 0 ] && [ "${QEL_KEEP_PREFIX:-0}" != 1 ]; then rm -rf "$work"; else echo "(prefix kept: $work)"; fi
[ $failures -eq 0 ]
