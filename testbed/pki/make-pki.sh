#!/usr/bin/env bash
# Makes the test PKI of the test machine: every certificate and key in this
# folder. They are committed, so the thumbprints that a test build pins stay
# the same from one clone to the next.
#
#   make-pki.sh [FOLDER]      (default: the folder of this script)
#
# Existing keys are kept and the dates are fixed, so running it again over
# this folder writes the same certificates. To replace the whole PKI, delete
# the keys first: every thumbprint changes, and the windows preset in
# CMakePresets.json must follow (the script prints the values for it at the
# end). Beside each NAME.crt and NAME.key
# it writes NAME.chain.pem: the certificate followed by every certificate up
# to its root(s), which is what a signature made with it carries.
#
# Needs openssl and faketime (the expired certificates are issued "in 2020").
set -euo pipefail
out=${1:-$(cd "$(dirname "$0")" && pwd)}
mkdir -p "$out"
cd "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The dates every certificate is issued at (faketime), and how long it lives.
long_start='2019-01-01 00:00:00'
long_days=30000                      # until about 2101
expired_start='2020-01-01 00:00:00'
expired_days=366                     # 2020-01-01 .. 2021-01-01

key() { [ -f "$1.key" ] || openssl genrsa -out "$1.key" 2048 2>/dev/null; }
# The two cross certificates of the intermediate CA share one key.
issuer_key() { case $1 in ca-cross-*) echo ca-cross ;; *) echo "$1" ;; esac; }

# ext NAME LINES...: an extension section file for `openssl x509 -extfile`.
ext() {
  local name=$1; shift
  printf '%s\n' "[ext]" "subjectKeyIdentifier = hash" "authorityKeyIdentifier = keyid" "$@" > "$work/$name.ext"
}

# root NAME SUBJECT SERIAL: a self-signed root certificate.
root() {
  key "$1"
  ext "$1" "basicConstraints = critical, CA:TRUE" "keyUsage = critical, keyCertSign, cRLSign"
  openssl req -new -key "$1.key" -subj "$2" -out "$work/$1.csr"
  faketime "$long_start" openssl x509 -req -sha256 -in "$work/$1.csr" -signkey "$1.key" -set_serial "$3" \
    -days "$long_days" -extfile "$work/$1.ext" -extensions ext -out "$1.crt" 2>/dev/null
}

# issue NAME SUBJECT SERIAL ISSUER KIND [HASH START DAYS [KEYNAME]]: a certificate issued by ISSUER.
# KIND: ca (an intermediate CA), code (code signing), server (TLS server only:
# no code-signing usage), tsa (time stamping).
issue() {
  local name=$1 subject=$2 serial=$3 issuer=$4 kind=$5 hash=${6:-sha256} start=${7:-$long_start}
  local days=${8:-$long_days} keyname=${9:-$1}
  key "$keyname"
  case $kind in
    ca) ext "$name" "basicConstraints = critical, CA:TRUE" "keyUsage = critical, keyCertSign, cRLSign" ;;
    code) ext "$name" "basicConstraints = CA:FALSE" "keyUsage = critical, digitalSignature" "extendedKeyUsage = codeSigning" ;;
    server) ext "$name" "basicConstraints = CA:FALSE" "keyUsage = critical, digitalSignature" "extendedKeyUsage = serverAuth" ;;
    tsa) ext "$name" "basicConstraints = CA:FALSE" "keyUsage = critical, digitalSignature" "extendedKeyUsage = critical, timeStamping" ;;
  esac
  openssl req -new -key "$keyname.key" -subj "$subject" -out "$work/$name.csr"
  faketime "$start" openssl x509 -req "-$hash" -in "$work/$name.csr" -CA "$issuer.crt" -CAkey "$(issuer_key "$issuer").key" \
    -set_serial "$serial" -days "$days" -extfile "$work/$name.ext" -extensions ext -out "$name.crt" 2>/dev/null
}

# Roots. The build pins four (two publishers' roots, one the machine does
# not trust, one spare); the fifth is trusted by the machine but not pinned.
root root-tarsen            "/O=Tarsen, Inc./CN=Tarsen Test Root"            0x5101
root root-orvel             "/O=Orvel Corporation/CN=Orvel Test Root"         0x5102
root root-pinned-untrusted  "/O=Tarsen, Inc./CN=Tarsen Offline Test Root"     0x5103
root root-spare             "/O=Orvel Corporation/CN=Orvel Spare Test Root"   0x5104
root root-unpinned          "/O=Partner Software GmbH/CN=Partner Test Root"   0x5105

# One intermediate CA with two certificates for the same key and name: one
# from the unpinned root, one from the pinned root the machine does not trust.
issue ca-cross-unpinned "/O=Tarsen, Inc./CN=Tarsen Cross Test CA" 0x3001 root-unpinned ca "" "" "" ca-cross
issue ca-cross-pinned   "/O=Tarsen, Inc./CN=Tarsen Cross Test CA" 0x3002 root-pinned-untrusted ca "" "" "" ca-cross

# Code signing. The serial of "tarsen" starts with a byte below 16 on purpose.
issue tarsen              "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x0A0B0C0D root-tarsen code
issue orvel               "/O=Orvel Corporation/CN=Orvel Corporation"         0x2001 root-orvel code
issue tarsen-unpinned     "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x2002 root-unpinned code
issue tarsen-untrusted    "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x2003 root-pinned-untrusted code
issue tarsen-cross        "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x2004 ca-cross-unpinned code "" "" "" tarsen-cross
issue foreign             "/O=Foreign Software Ltd./CN=Foreign Software Ltd." 0x2005 root-tarsen code
issue tarsen-nousage      "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x2006 root-tarsen server
issue tarsen-expired      "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x2007 root-tarsen code sha256 "$expired_start" "$expired_days"
# Signed with SHA-1: Wine's WinVerifyTrust judges the chain of such a leaf only.
issue tarsen-expired-sha1 "/O=Tarsen, Inc./CN=Tarsen, Inc."                   0x2008 root-tarsen code sha1 "$expired_start" "$expired_days"
issue partner             "/O=Partner Software GmbH/CN=Partner Software GmbH" 0x200C root-unpinned code

# Time stamping, and policy signing (one pinned by the build, one not).
issue tsa                 "/O=Tarsen, Inc./CN=Tarsen Test Time Stamping"      0x2009 root-tarsen tsa
issue policy-signer       "/O=Tarsen, Inc./CN=Tarsen Policy Signing"          0x200A root-tarsen code
issue policy-unpinned     "/O=Tarsen, Inc./CN=Tarsen Policy Signing"          0x200B root-tarsen code

# Attack material. A time-stamping authority of its own making: self-signed,
# trusted by no machine. A root named like the pinned Tarsen root (another
# key): it issues the forged cross certificate, which names the unpinned
# Partner root's subject and key under the pinned root's name. Without an
# authority key identifier, a chain engine can only match it by name, and its
# signature holds under no key the pinned root has.
key tsa-selfmade
ext tsa-selfmade-ts "basicConstraints = CA:FALSE" "keyUsage = critical, digitalSignature" \
  "extendedKeyUsage = critical, timeStamping"
openssl req -new -key tsa-selfmade.key -subj "/O=Tarsen, Inc./CN=Tarsen Test Time Stamping" -out "$work/tsa-selfmade.csr"
faketime "$long_start" openssl x509 -req -sha256 -in "$work/tsa-selfmade.csr" -signkey tsa-selfmade.key -set_serial 0x6101 \
  -days "$long_days" -extfile "$work/tsa-selfmade-ts.ext" -extensions ext -out tsa-selfmade.crt 2>/dev/null
root fake-root-tarsen "/O=Tarsen, Inc./CN=Tarsen Test Root" 0x6102
printf '%s\n' "[ext]" "basicConstraints = critical, CA:TRUE" "keyUsage = critical, keyCertSign, cRLSign" \
  "subjectKeyIdentifier = hash" "authorityKeyIdentifier = none" > "$work/forged.ext"
openssl req -new -key root-unpinned.key -subj "/O=Partner Software GmbH/CN=Partner Test Root" -out "$work/forged.csr"
faketime "$long_start" openssl x509 -req -sha256 -in "$work/forged.csr" -CA fake-root-tarsen.crt -CAkey fake-root-tarsen.key \
  -set_serial 0x6103 -days "$long_days" -extfile "$work/forged.ext" -extensions ext -out forged-cross.crt 2>/dev/null

# chain NAME ISSUER...: NAME.chain.pem, the certificate and its issuers' chains.
chain() {
  local name=$1; shift
  cat "$name.crt" > "$name.chain.pem"
  for issuer in "$@"; do cat "$issuer.chain.pem" >> "$name.chain.pem"; done
}
for r in root-tarsen root-orvel root-pinned-untrusted root-spare root-unpinned tsa-selfmade; do chain "$r"; done
chain ca-cross-unpinned root-unpinned
chain ca-cross-pinned root-pinned-untrusted
for c in tarsen foreign tarsen-nousage tarsen-expired tarsen-expired-sha1 tsa policy-signer policy-unpinned; do
  chain "$c" root-tarsen
done
chain orvel root-orvel
chain tarsen-unpinned root-unpinned
chain partner root-unpinned
chain tarsen-untrusted root-pinned-untrusted
# Both ways up from the cross CA: the main chain ends in the unpinned root, a
# lower-quality one in the pinned root that the machine does not trust.
chain tarsen-cross ca-cross-unpinned ca-cross-pinned
# The unpinned Tarsen certificate with the forged cross certificate and the
# (public) pinned root: a lower-quality chain ends in the pinned root through
# a link whose signature does not hold.
cat tarsen-unpinned.chain.pem forged-cross.crt root-tarsen.crt > tarsen-forged.chain.pem

thumb() { openssl x509 -in "$1.crt" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g'; }
echo "QEL_ROOT_THUMBPRINTS=$(thumb root-tarsen);$(thumb root-orvel);$(thumb root-pinned-untrusted);$(thumb root-spare)"
echo "QEL_POLICY_SIGNER_THUMBPRINT=$(thumb policy-signer)"
