#!/usr/bin/env python3
"""Signs files with a certificate of the test PKI (this folder), the way the
real files are signed: an Authenticode signature by osslsigncode, carrying the
certificate's chain, optionally with an RFC 3161 time stamp of the test
time-stamping authority.

  qelsign.py --cert NAME [--hash sha256|sha1] [--timestamp "YYYY-MM-DD HH:MM:SS"] IN OUT
  qelsign.py --cert NAME --script IN.txt OUT.js

PE files and cabinets are signed as they are (IN may be OUT: the file is then
signed in place). --script makes a signed policy script: the UTF-8 text of IN
becomes UTF-16LE with a byte-order mark and CRLF line ends, and the signature
is appended as "// SIG // " lines (osslsigncode signs it as a PowerShell
script, whose digest covers the same text; only the comment marks differ).

The time stamp is made offline (osslsigncode -TSA-certs/-TSA-key/-TSA-time)
under faketime, because the token's signing-time attribute is the clock's
time, not -TSA-time.
"""
import argparse
import calendar
import os
import shutil
import subprocess
import sys
import tempfile
import time

PKI = os.path.dirname(os.path.abspath(__file__))


def _osslsigncode(cert, src, dst, hash_name="sha256", timestamp=None, tsa="tsa", key=None):
    command = ["osslsigncode", "sign", "-h", hash_name,
               "-certs", os.path.join(PKI, cert + ".chain.pem"),
               "-key", os.path.join(PKI, (key or cert) + ".key"),
               "-in", src, "-out", dst]
    if timestamp:
        unix = calendar.timegm(time.strptime(timestamp, "%Y-%m-%d %H:%M:%S"))
        command = ["faketime", timestamp] + command + [
            "-TSA-certs", os.path.join(PKI, tsa + ".chain.pem"),
            "-TSA-key", os.path.join(PKI, tsa + ".key"),
            "-TSA-time", str(unix)]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=dict(os.environ, TZ="UTC"))
    if result.returncode != 0:
        sys.stderr.write(result.stdout.decode(errors="replace"))
        raise SystemExit("qelsign: osslsigncode failed for " + src)


def sign_file(cert, src, dst, hash_name="sha256", timestamp=None, tsa="tsa", key=None):
    """Signs a PE file or a cabinet; src may equal dst. `tsa`: the PKI's
    time-stamping authority that makes the time stamp; `key`: the key's name
    when it is not the certificate's (a chain file made for an attack)."""
    folder = tempfile.mkdtemp(prefix="qelsign")
    try:
        signed = os.path.join(folder, "signed" + os.path.splitext(src)[1])
        _osslsigncode(cert, src, signed, hash_name, timestamp, tsa, key)
        shutil.copyfile(signed, dst)
    finally:
        shutil.rmtree(folder)


def sign_script(cert, text, dst):
    """Writes `text` as a signed UTF-16LE script with a "// SIG //" block."""
    folder = tempfile.mkdtemp(prefix="qelsign")
    try:
        body = "\r\n".join(text.replace("\r\n", "\n").split("\n"))
        source = os.path.join(folder, "policy.ps1")
        with open(source, "wb") as f:
            f.write(b"\xff\xfe" + body.encode("utf-16-le"))
        signed = os.path.join(folder, "signed.ps1")
        _osslsigncode(cert, source, signed)
        with open(signed, "rb") as f:
            data = f.read()[2:].decode("utf-16-le")
        start = data.index("\r\n# SIG # Begin signature block")
        block = data[start:].replace("\r\n# SIG # ", "\r\n// SIG // ").replace("\r\n# ", "\r\n// SIG // ")
        with open(dst, "wb") as f:
            f.write(b"\xff\xfe" + (data[:start] + block).encode("utf-16-le"))
    finally:
        shutil.rmtree(folder)


def main():
    parser = argparse.ArgumentParser(description="Signs a file with a certificate of the test PKI.")
    parser.add_argument("--cert", required=True, help="certificate name in testbed/pki (NAME.crt, NAME.key)")
    parser.add_argument("--hash", default="sha256", choices=["sha256", "sha1"])
    parser.add_argument("--timestamp", help='RFC 3161 time stamp at this UTC time, "YYYY-MM-DD HH:MM:SS"')
    parser.add_argument("--script", action="store_true", help="IN is UTF-8 text; OUT a signed policy script")
    parser.add_argument("input")
    parser.add_argument("output")
    args = parser.parse_args()
    if args.script:
        with open(args.input, encoding="utf-8") as f:
            sign_script(args.cert, f.read(), args.output)
    else:
        sign_file(args.cert, args.input, args.output, args.hash, args.timestamp)


if __name__ == "__main__":
    main()
