#!/usr/bin/python3
"""Seeds for the fuzz targets der, der_diff and policy: real signatures made
with the test PKI (testbed/pki) the way the program meets them, and their
pieces.

  fuzz/make-seeds.py OUTDIR

Signs a small script with osslsigncode, with each digest (md5, sha1, sha256,
sha384, sha512) and each kind of time stamp: none, an RFC 3161 token of the
test time-stamping authority made at several times (1999, the last second
of 2049, 2050, 2069: GeneralizedTime, and the years around UTCTime's
century), and a legacy counter-signature of that authority (its signing time
a UTCTime of 1970, 1999, 2000, 2049, 2050 and 2069). Writes:
  OUTDIR/der/       every signature whole, and its pieces: certificates,
                    signer infos, attributes and their values, counter-
                    signatures, tokens, TSTInfos, the signed content
  OUTDIR/der_diff/  the tokens' TSTInfos
  OUTDIR/policy/    signed policy files and their texts
Then, for each target (the committed corpus is minimised into an empty
folder, README.md "Fuzzing"):
  build/fuzz-host/T -merge=1 NEW fuzz/corpus/T OUTDIR/T

Needs what the test PKI's scripts need: /usr/bin/python3 (Debian's, with asn1crypto),
openssl, osslsigncode and faketime.
"""
import base64
import datetime
import hashlib
import importlib.util
import os
import shutil
import sys
import tempfile

from asn1crypto import cms, core, tsp

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "testbed", "pki"))
import qelsign  # noqa: E402

# make-attacks.py's name is no module name: its counter-signature maker is
# loaded from its file.
_spec = importlib.util.spec_from_file_location("make_attacks", os.path.join(qelsign.PKI, "make-attacks.py"))
_attacks = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(_attacks)
counter_signature = _attacks.counter_signature

DIGESTS = ("md5", "sha1", "sha256", "sha384", "sha512")
TOKEN_TIMES = ("1999-06-01 12:00:00", "2049-12-31 23:59:59", "2050-01-01 00:00:00", "2069-06-01 12:00:00")
# UTCTime years as written ("YY"): the counter-signature is made in 2049 and its time rewritten.
COUNTER_YEARS = ("70", "99", "00", "49", "50", "69")

POLICY = "[VER]\n6\n[ORG]\nOrvel Corporation\nTarsen, Inc.\n[SHA]\n{sha}\n[SER]\n0A0B0C0D\n"


class Seeds:
    def __init__(self, out):
        self.out = out
        self.count = {}

    def add(self, target, data):
        folder = os.path.join(self.out, target)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), "wb") as f:
            f.write(data)
        self.count[target] = self.count.get(target, 0) + 1


def script_signature(path):
    """The ContentInfo of a signed PowerShell script: the lines between
    "# SIG # Begin signature block" and its end, each after "# "."""
    with open(path, "rb") as f:
        text = f.read()[2:].decode("utf-16-le")
    block = text[text.index("# SIG # Begin signature block"):text.index("# SIG # End signature block")]
    lines = block.split("\r\n")[1:]
    encoded = "".join(line.replace("# SIG # ", "# ", 1)[2:] for line in lines if line.startswith("# "))
    return cms.ContentInfo.load(base64.b64decode(encoded))


def pieces(content_info):
    """The DER pieces of a signature: itself, what it signs, its
    certificates, its signer infos, their attributes and values, and
    the time stamps inside them (counter-signatures, tokens, TSTInfos)."""
    signed = content_info["content"]
    yield content_info.dump()
    yield signed["encap_content_info"].dump()
    yield bytes(signed["encap_content_info"]["content"].contents)
    for certificate in signed["certificates"]:
        yield certificate.dump()
    for signer in signed["signer_infos"]:
        yield signer.dump()
        for attributes in (signer["signed_attrs"], signer["unsigned_attrs"]):
            if isinstance(attributes, core.Void):
                continue
            yield attributes.dump()
            for attribute in attributes:
                yield attribute.dump()
                for value in attribute["values"]:
                    yield value.dump()
                    if isinstance(value, cms.SignerInfo):
                        yield from (a.dump() for a in value["signed_attrs"])
                    if isinstance(value, cms.ContentInfo):
                        yield from pieces(value)


def tst_infos(content_info):
    for signer in content_info["content"]["signer_infos"]:
        attributes = signer["unsigned_attrs"]
        for attribute in [] if isinstance(attributes, core.Void) else attributes:
            if attribute["type"].dotted == "1.3.6.1.4.1.311.3.3.1":
                token = attribute["values"][0]
                yield bytes(token["content"]["encap_content_info"]["content"].contents)


def with_counter_signature(content_info, year):
    """The signature with a legacy counter-signature whose signing time is
    the UTCTime year `year` (made in 2049, its two digits rewritten)."""
    signed = content_info["content"]
    signer = signed["signer_infos"][0]
    when = datetime.datetime(2049, 6, 1, 12, 0, 0, tzinfo=datetime.timezone.utc)
    attribute = counter_signature(signer, when)
    signer["unsigned_attrs"] = cms.CMSAttributes([attribute])
    signed["signer_infos"] = cms.SignerInfos([signer])
    content_info["content"] = signed
    encoded = content_info.dump(force=True)
    old = b"\x17\x0d" + b"490601120000Z"
    assert old in encoded
    return cms.ContentInfo.load(encoded.replace(old, b"\x17\x0d" + year.encode() + b"0601120000Z"))


def sign(script, signed, digest, stamp=None):
    if os.path.exists(signed):
        os.remove(signed)
    qelsign._osslsigncode("tarsen", script, signed, digest, stamp)
    return script_signature(signed)


def der_length(length):
    if length < 0x80:
        return bytes([length])
    octets = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def main():
    out = os.path.abspath(sys.argv[1])
    seeds = Seeds(out)
    work = tempfile.mkdtemp(prefix="qelseeds")
    try:
        script = os.path.join(work, "policy.ps1")
        with open(os.path.join(qelsign.PKI, "root-tarsen.crt")) as f:
            pem = "".join(line for line in f if not line.startswith("-----"))
        text = POLICY.format(sha=hashlib.sha1(base64.b64decode(pem)).hexdigest().upper())
        with open(script, "wb") as f:
            f.write(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le"))
        signed = os.path.join(work, "signed.ps1")
        stamped = []
        for digest in DIGESTS:
            for stamp in (None,) + TOKEN_TIMES:
                content_info = sign(script, signed, digest, stamp)
                for piece in pieces(content_info):
                    seeds.add("der", piece)
                for tst in tst_infos(content_info):
                    stamped.append(tst)
                    seeds.add("der_diff", tst)
                    seeds.add("der", tst)
            if digest == "sha256":
                for year in COUNTER_YEARS:
                    for piece in pieces(with_counter_signature(sign(script, signed, digest), year)):
                        seeds.add("der", piece)

        # A TSTInfo with a fraction of a second, and with a time that is no date.
        base = tsp.TSTInfo.load(stamped[0])
        body = base.contents
        for time in (b"20200601120000.5Z", b"20200601120000.125Z", b"20201301120000Z", b"20200601120000Z"):
            changed = body.replace(base["gen_time"].dump(), b"\x18" + bytes([len(time)]) + time)
            seeds.add("der_diff", b"\x30" + der_length(len(changed)) + changed)

        # Signed policy files (the signing tool's own digest), and their texts.
        for name, policy in (("v6", text), ("two-ver", text.replace("[VER]\n6\n", "[VER]\n6\n7\n")),
                             ("odd-sha", text.replace("[SHA]\n", "[SHA]\n0A1\n"))):
            path = os.path.join(work, name + ".js")
            qelsign.sign_script("policy-signer", policy, path)
            with open(path, "rb") as f:
                seeds.add("policy", f.read())
            seeds.add("policy", policy.encode())
    finally:
        shutil.rmtree(work)
    for target, count in sorted(seeds.count.items()):
        print("make-seeds: %d seeds in %s" % (count, os.path.join(out, target)))


if __name__ == "__main__":
    main()
