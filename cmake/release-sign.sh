#!/usr/bin/env bash
# Signs the programs of a release folder so that anyone can check them against
# their own build (scripts/release --sign):
#   release-sign.sh CERT KEY TIMESTAMP-URL|- FOLDER NAME...
# For each NAME in FOLDER:
#   FOLDER/signed/NAME  signed with osslsigncode (SHA-256; CERT is a PEM file
#                       with the signing certificate and its chain up to and
#                       including its root,
#                       KEY its private key; an RFC 3161 time stamp from the
#                       service at TIMESTAMP-URL, none for "-")
#   FOLDER/NAME.sig     that signature, detached (osslsigncode extract-signature)
# Then the detached signature is attached to the unsigned NAME (osslsigncode
# attach-signature), as a third party does with their own build, and the result
# must be the signed program byte for byte; anything else stops the release.
set -euo pipefail
cert=$1 key=$2 timestamp=$3 folder=$4
shift 4

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$folder/signed"
for name in "$@"; do
  sign=(osslsigncode sign -h sha256 -certs "$cert" -key "$key")
  [ "$timestamp" = - ] || sign+=(-ts "$timestamp")
  "${sign[@]}" -in "$folder/$name" -out "$folder/signed/$name" >"$scratch/log" 2>&1 ||
    { cat "$scratch/log"; echo "release-sign: signing $name failed" >&2; exit 1; }
  osslsigncode extract-signature -in "$folder/signed/$name" -out "$folder/$name.sig" >"$scratch/log" 2>&1 ||
    { cat "$scratch/log"; echo "release-sign: the signature of $name could not be extracted" >&2; exit 1; }
  # attach-signature verifies the signature first, up to the root that CERT carries.
  osslsigncode attach-signature -sigin "$folder/$name.sig" -CAfile "$cert" -in "$folder/$name" -out "$scratch/$name" \
    >"$scratch/log" 2>&1 ||
    { cat "$scratch/log"; echo "release-sign: $name.sig could not be attached to $name" >&2; exit 1; }
  if ! cmp -s "$scratch/$name" "$folder/signed/$name"; then
    echo "release-sign: $name.sig attached to the unsigned $name does not give signed/$name" \
         "($(cmp -l "$scratch/$name" "$folder/signed/$name" 2>/dev/null | wc -l) bytes differ)" >&2
    exit 1
  fi
  echo "signed: signed/$name, detached: $name.sig (attached to $name it gives signed/$name byte for byte)"
done
