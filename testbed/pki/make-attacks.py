#!/usr/bin/env python3
"""Makes the attack samples of the signature-check tests: signed files edited
the way an attacker would edit them, each beside the legitimate file it is
made from (make-samples.py must have run into OUTDIR first):

  make-attacks.py SAMPLE.exe OUTDIR

  expired-forged-ts.exe  the expired certificate, time-stamped by a self-made
                         time-stamping authority (tsa-selfmade) inside its validity
  expired-cs.exe         the expired certificate with a legacy counter-signature
                         of the test time-stamping authority inside its validity
  expired-garbage-cs.exe the same with a counter-signature of one byte and an
                         empty issuer
  expired-retimed-ts.exe expired-ts.exe with its token's time moved after signing
  expired-other-ts.exe   expired.exe carrying the token of another signature
                         (expired-ts.exe's): a stamp of someone else's digest
  forged-cross.exe       "Tarsen, Inc." under the unpinned root, carrying a forged
                         cross certificate to the pinned root (testbed/pki/make-pki.sh)
  padded-serial.exe      tarsen.exe whose signer names its certificate's serial
                         number with a redundant leading zero byte
  other-program.exe      another program signed by the foreign publisher
  table-text.exe         tarsen.exe with 4 KiB of text in its certificate table
                         after the signature (not covered by the file's digest)
  cab-trailing.cab       tarsen.cab with 4 KiB after the signature in its
                         signature area
  appended.js            v6.js with "[ORG]" and the foreign publisher appended
                         after its signature block; appended.cab carries it
  policy-program.exe     a program whose signed data holds a policy text
                         ("[VER] 99", the foreign publisher), signed by the
                         policy-signing certificate; policy-program.cab
                         carries it as trusted.js
  other-key.js           v6.js whose signer's signature was made with another
                         key (policy-unpinned's) than its certificate's

Needs /usr/bin/python3 with asn1crypto, openssl, osslsigncode and faketime.
The edits keep the file's digest: only the signature (the PE certificate
table) changes, and the table's size and the PE checksum follow it.
"""
import base64
import datetime
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

from asn1crypto import algos, cms, core, tsp, x509

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qelsign  # noqa: E402

PKI = qelsign.PKI


# ---- The PE certificate table ----

def _pe_layout(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    return optional + 64, directories + 4 * 8  # checksum field, security directory


def read_signature(path):
    """The file's bytes and its embedded PKCS #7 ContentInfo."""
    with open(path, "rb") as f:
        data = f.read()
    _, security = _pe_layout(data)
    offset, size = struct.unpack_from("<II", data, security)
    length = struct.unpack_from("<I", data, offset)[0]
    return data, cms.ContentInfo.load(data[offset + 8:offset + length])


def _checksum(data, checksum_at):
    total = 0
    for i in range(0, len(data) - len(data) % 2, 2):
        if i in (checksum_at, checksum_at + 2):
            continue
        total += data[i] | (data[i + 1] << 8)
        total = (total & 0xFFFF) + (total >> 16)
    if len(data) % 2:
        total += data[-1]
    total = (total & 0xFFFF) + (total >> 16)
    return (total + (total >> 16) + len(data)) & 0xFFFFFFFF


def write_signature(data, content_info, path, extra=b""):
    """`data` with its certificate table replaced by `content_info`, as
    osslsigncode writes one: WIN_CERTIFICATE padded to 8 bytes (then `extra`),
    the security directory's size and the PE checksum updated."""
    checksum_at, security = _pe_layout(data)
    offset = struct.unpack_from("<I", data, security)[0]
    der = content_info.dump()
    der += b"\0" * (-len(der) % 8) + extra
    table = struct.pack("<IHH", len(der) + 8, 0x0200, 0x0002) + der
    out = bytearray(data[:offset] + table)
    struct.pack_into("<II", out, security, offset, len(table))
    struct.pack_into("<I", out, checksum_at, 0)
    struct.pack_into("<I", out, checksum_at, _checksum(out, checksum_at))
    with open(path, "wb") as f:
        f.write(bytes(out))


# ---- Editing the signature (asn1crypto keeps what is not touched byte for byte) ----

def replace_signer(content_info, signer):
    """Puts `signer` back as the first signer info, marking each level changed."""
    signed = content_info["content"]
    infos = signed["signer_infos"]
    infos[0] = signer
    signed["signer_infos"] = infos
    content_info["content"] = signed


def add_certificates(content_info, names):
    """Adds the PKI's certificates (NAME.crt) to the signature's store."""
    signed = content_info["content"]
    certificates = signed["certificates"]
    for name in names:
        with open(os.path.join(PKI, name + ".crt"), "rb") as f:
            pem = f.read()
        certificates.append(cms.CertificateChoices({"certificate": x509.Certificate.load(_der(pem))}))
    signed["certificates"] = certificates
    content_info["content"] = signed


def _der(pem):
    return subprocess.run(["openssl", "x509", "-outform", "DER"], input=pem, stdout=subprocess.PIPE,
                          check=True).stdout


def _rsa_sign(key, data):
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", os.path.join(PKI, key + ".key")], input=data,
                          stdout=subprocess.PIPE, check=True).stdout


def _certificate(name):
    with open(os.path.join(PKI, name + ".crt"), "rb") as f:
        return x509.Certificate.load(_der(f.read()))


def set_unsigned_attribute(signer, attribute):
    attributes = signer["unsigned_attrs"]
    values = [attribute] if not attributes.native else [attribute] + list(attributes)
    signer["unsigned_attrs"] = cms.CMSAttributes(values)


def counter_signature(signer, when, key="tsa", garbage=False):
    """A legacy counter-signature (1.2.840.113549.1.9.6) of `signer`: signed
    attributes with the signing time and the digest of the signer's encrypted
    digest, signed with the PKI's `key`. `garbage`: one byte of signature and
    an empty issuer."""
    digest = hashlib.sha256(signer["signature"].native).digest()
    attributes = cms.CMSAttributes([
        cms.CMSAttribute({"type": "content_type", "values": ["data"]}),
        cms.CMSAttribute({"type": "signing_time", "values": [cms.Time({"utc_time": when})]}),
        cms.CMSAttribute({"type": "message_digest", "values": [digest]}),
    ])
    certificate = _certificate("tsa")
    if garbage:
        sid = cms.IssuerAndSerialNumber({"issuer": x509.Name.build({}), "serial_number": 1})
        signature = b"\x01"
    else:
        sid = cms.IssuerAndSerialNumber({"issuer": certificate.issuer, "serial_number": certificate.serial_number})
        signature = _rsa_sign(key, attributes.dump())
    counter = cms.SignerInfo({
        "version": "v1",
        "sid": cms.SignerIdentifier({"issuer_and_serial_number": sid}),
        "digest_algorithm": algos.DigestAlgorithm({"algorithm": "sha256"}),
        "signed_attrs": attributes,
        "signature_algorithm": algos.SignedDigestAlgorithm({"algorithm": "rsassa_pkcs1v15"}),
        "signature": signature,
    })
    return cms.CMSAttribute({"type": "counter_signature", "values": [counter]})


def token_attribute(signer):
    """The signer's RFC 3161 token attribute (1.3.6.1.4.1.311.3.3.1)."""
    for attribute in signer["unsigned_attrs"]:
        if attribute["type"].dotted == "1.3.6.1.4.1.311.3.3.1":
            return attribute
    raise SystemExit("make-attacks: no time-stamp token")


def retime_token(attribute, when):
    """The token attribute with its TSTInfo's genTime changed (its signature left as it was)."""
    token = attribute["values"][0]
    signed = token["content"]
    encapsulated = signed["encap_content_info"]
    info = tsp.TSTInfo.load(bytes(encapsulated["content"]))
    info["gen_time"] = core.GeneralizedTime(when)
    encapsulated["content"] = core.ParsableOctetString(info.dump())
    signed["encap_content_info"] = encapsulated
    token["content"] = signed
    attribute["values"] = [token]
    return attribute


# ---- Policy scripts and cabinets ----

SCRIPT_BEGIN = "\r\n// SIG // Begin signature block"


def read_script(path):
    """A signed policy script's text (before its block, BOM included) and its ContentInfo."""
    with open(path, "rb") as f:
        text = f.read().decode("utf-16-le")
    start = text.index(SCRIPT_BEGIN)
    lines = text[start:].split("\r\n")[2:]
    encoded = "".join(line[len("// SIG // "):] for line in lines if line.startswith("// SIG // ")
                      and "signature block" not in line)
    return text[:start], cms.ContentInfo.load(base64.b64decode(encoded))


def write_script(head, content_info, path):
    encoded = base64.b64encode(content_info.dump()).decode()
    lines = ["// SIG // Begin signature block"] + ["// SIG // " + encoded[i:i + 64] for i in range(0, len(encoded), 64)]
    lines.append("// SIG // End signature block")
    with open(path, "wb") as f:
        f.write((head + "\r\n" + "\r\n".join(lines) + "\r\n").encode("utf-16-le"))


def cabinet_of(out, entry, cert):
    """A cabinet holding `entry` as trusted.js, signed with the PKI's `cert`."""
    staging = tempfile.mkdtemp(dir=os.path.dirname(out))
    shutil.copyfile(entry, os.path.join(staging, "trusted.js"))
    plain = os.path.join(staging, "plain.cab")
    subprocess.run(["gcab", "-c", "-n", plain, "trusted.js"], cwd=staging, check=True)
    qelsign.sign_file(cert, plain, out)
    shutil.rmtree(staging)


def main():
    sample, out = sys.argv[1], sys.argv[2]
    path = lambda name: os.path.join(out, name)  # noqa: E731
    utc = datetime.timezone.utc
    in_2020 = datetime.datetime(2020, 6, 1, 12, 0, 0, tzinfo=utc)

    qelsign.sign_file("tarsen-expired", sample, path("expired-forged-ts.exe"), timestamp="2020-06-01 12:00:00",
                      tsa="tsa-selfmade")
    qelsign.sign_file("tarsen-forged", sample, path("forged-cross.exe"), key="tarsen-unpinned")

    for name, garbage in (("expired-cs.exe", False), ("expired-garbage-cs.exe", True)):
        data, content_info = read_signature(path("expired.exe"))
        signer = content_info["content"]["signer_infos"][0]
        set_unsigned_attribute(signer, counter_signature(signer, in_2020, garbage=garbage))
        replace_signer(content_info, signer)
        add_certificates(content_info, ["tsa"])
        write_signature(data, content_info, path(name))

    # Another signature's token on expired.exe's signer.
    _, stamped = read_signature(path("expired-ts.exe"))
    other = token_attribute(stamped["content"]["signer_infos"][0])
    data, content_info = read_signature(path("expired.exe"))
    signer = content_info["content"]["signer_infos"][0]
    set_unsigned_attribute(signer, other)
    replace_signer(content_info, signer)
    write_signature(data, content_info, path("expired-other-ts.exe"))

    # The token's time moved into the certificate's validity after the fact.
    data, content_info = read_signature(path("expired-ts.exe"))
    signer = content_info["content"]["signer_infos"][0]
    signer["unsigned_attrs"] = cms.CMSAttributes([retime_token(token_attribute(signer),
                                                               datetime.datetime(2020, 3, 1, tzinfo=utc))])
    replace_signer(content_info, signer)
    write_signature(data, content_info, path("expired-retimed-ts.exe"))

    # The signer info's serial number with a redundant leading zero byte.
    data, content_info = read_signature(path("tarsen.exe"))
    signer = content_info["content"]["signer_infos"][0]
    sid = signer["sid"].chosen
    serial = sid["serial_number"]
    padded = core.Integer.load(b"\x02" + bytes([len(serial.contents) + 1]) + b"\x00" + serial.contents, strict=False)
    sid["serial_number"] = padded
    signer["sid"] = cms.SignerIdentifier({"issuer_and_serial_number": sid})
    replace_signer(content_info, signer)
    write_signature(data, content_info, path("padded-serial.exe"))

    # Another program: the sample with bytes of its own, signed by the foreign publisher.
    with open(sample, "rb") as f:
        program = f.read() + b"another program".ljust(512, b"\0")
    unsigned = path("other-program.unsigned.exe")
    with open(unsigned, "wb") as f:
        f.write(program)
    qelsign.sign_file("foreign", unsigned, path("other-program.exe"))
    os.remove(unsigned)

    # Text in the certificate table after the signature: not covered by the digest.
    data, content_info = read_signature(path("tarsen.exe"))
    write_signature(data, content_info, path("table-text.exe"),
                    extra="\r\n[VER]\r\n99\r\n[ORG]\r\nForeign Software Ltd.\r\n".encode("utf-16-le").ljust(4096, b"x"))
    # ... and in a cabinet's signature area (its size field is not covered either).
    with open(path("tarsen.cab"), "rb") as f:
        cab = bytearray(f.read())
    size = struct.unpack_from("<I", cab, 48)[0]
    struct.pack_into("<I", cab, 48, size + 4096)
    with open(path("cab-trailing.cab"), "wb") as f:
        f.write(bytes(cab) + b"x" * 4096)

    # A genuine policy with unsigned text after its signature block.
    with open(path("v6.js"), "rb") as f:
        genuine = f.read()
    with open(path("appended.js"), "wb") as f:
        f.write(genuine + "[ORG]\r\nForeign Software Ltd.\r\n".encode("utf-16-le"))
    cabinet_of(path("appended.cab"), path("appended.js"), "foreign")

    # A program signed by the policy-signing certificate, its signed data a policy text.
    with open(sample, "rb") as f:
        program = f.read() + "\r\n[VER]\r\n99\r\n[ORG]\r\nForeign Software Ltd.\r\n".encode("utf-16-le")
    unsigned = path("policy-program.unsigned.exe")
    with open(unsigned, "wb") as f:
        f.write(program.ljust(len(program) + (-len(program) % 8), b"\0"))
    qelsign.sign_file("policy-signer", unsigned, path("policy-program.exe"))
    os.remove(unsigned)
    cabinet_of(path("policy-program.cab"), path("policy-program.exe"), "foreign")

    # A policy whose signer carries the policy certificate but signed with another key.
    head, content_info = read_script(path("v6.js"))
    signer = content_info["content"]["signer_infos"][0]
    signed_attributes = signer["signed_attrs"].dump()
    signer["signature"] = _rsa_sign("policy-unpinned", b"\x31" + signed_attributes[1:])
    replace_signer(content_info, signer)
    write_script(head, content_info, path("other-key.js"))


if __name__ == "__main__":
    main()
