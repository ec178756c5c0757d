#!/usr/bin/env python3
"""Makes the signed sample files of the signature-check tests and benchmark
from one small program, with the test PKI beside this script:

  make-samples.py SAMPLE.exe OUTDIR

OUTDIR receives (every name is what the file is for):
  PE files     tarsen.exe orvel.exe partner.exe foreign.exe unpinned.exe
               untrusted-root.exe cross.exe nousage.exe expired.exe
               expired-ts.exe unsigned.exe tampered.exe big-1m.exe big-32m.exe
  policy files v6.js v7.js v5.js two-ver.js unpinned-signer.js unsigned.js
               odd-sha.js no-org.js empty-org.js no-sha.js empty-sha.js pinned-only.js
               blocked.js
  cabinets     refresh.cab (v6 policy) v7.cab v5.cab nopolicy.cab twice.cab (v6, then v7)
               oversized.cab tarsen.cab (no policy, signed by the accepted publisher)
  the PKI's certificates (*.crt), for tests that build chains themselves
"""
import base64
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qelsign  # noqa: E402

PKI = qelsign.PKI


def thumbprint(name):
    with open(os.path.join(PKI, name + ".crt")) as f:
        pem = "".join(line for line in f if not line.startswith("-----"))
    return hashlib.sha1(base64.b64decode(pem)).hexdigest().upper()


def policy(version, orgs=None, shas=None, sers=None, versions=None):
    """A policy text; a list of None leaves its section out, [] writes it empty."""
    lines = ["[VER]"] + [str(v) for v in (versions or [version])]
    for section, entries in (("ORG", orgs), ("SHA", shas), ("SER", sers)):
        if entries is not None:
            lines += ["[" + section + "]"] + entries
    return "\n".join(lines) + "\n"


def cabinet(out, members, cert, folder, rename=None):
    """A cabinet of {name: file} signed with cert; rename (old, new), names of
    equal length, renames entries after the fact (gcab takes no name twice)."""
    staging = tempfile.mkdtemp(dir=folder)
    for name, source in members.items():
        shutil.copyfile(source, os.path.join(staging, name))
    plain = os.path.join(folder, "plain.cab")
    subprocess.run(["gcab", "-c", "-n", plain] + list(members), cwd=staging, check=True)
    if rename:
        with open(plain, "rb") as f:
            data = f.read()
        old, new = (name.encode() + b"\0" for name in rename)
        assert len(old) == len(new) and old in data
        with open(plain, "wb") as f:
            f.write(data.replace(old, new))
    qelsign.sign_file(cert, plain, out)
    os.remove(plain)
    shutil.rmtree(staging)


def main():
    sample, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    path = lambda name: os.path.join(out, name)  # noqa: E731

    for name, cert in (("tarsen", "tarsen"), ("orvel", "orvel"), ("partner", "partner"), ("foreign", "foreign"),
                       ("unpinned", "tarsen-unpinned"), ("untrusted-root", "tarsen-untrusted"),
                       ("cross", "tarsen-cross"), ("nousage", "tarsen-nousage"), ("expired", "tarsen-expired")):
        qelsign.sign_file(cert, sample, path(name + ".exe"))
    # Time-stamped inside the expired certificate's validity (2020).
    qelsign.sign_file("tarsen-expired", sample, path("expired-ts.exe"), timestamp="2020-06-01 12:00:00")
    shutil.copyfile(sample, path("unsigned.exe"))
    with open(path("tarsen.exe"), "rb") as f:
        data = bytearray(f.read())
    data[len(data) // 3] ^= 0xFF  # inside the signed image
    with open(path("tampered.exe"), "wb") as f:
        f.write(data)
    # The benchmark's files: the program followed by filler, signed.
    for name, size in (("big-1m.exe", 1 << 20), ("big-32m.exe", 32 << 20)):
        with open(sample, "rb") as f:
            data = f.read()
        padded = path(name + ".unsigned")
        with open(padded, "wb") as f:
            f.write(data + bytes(size - len(data)))
        qelsign.sign_file("tarsen", padded, path(name))
        os.remove(padded)

    publishers = ["Orvel Corporation", "Tarsen, Inc.", "Partner Software GmbH"]
    roots = [thumbprint("root-tarsen"), thumbprint("root-orvel"), thumbprint("root-unpinned")]
    scripts = {
        # A newer policy: also the partner publisher, on its own (unpinned) root.
        "v6": ("policy-signer", policy(6, publishers, roots)),
        # Newer still: also the publisher that is never accepted otherwise.
        "v7": ("policy-signer", policy(7, publishers + ["Foreign Software Ltd."], roots)),
        "v5": ("policy-signer", policy(5, publishers, roots)),
        "two-ver": ("policy-signer", policy(6, publishers, roots, versions=[6, 7])),
        "unpinned-signer": ("policy-unpinned", policy(6, publishers, roots)),
        "odd-sha": ("policy-signer", policy(6, publishers, [thumbprint("root-unpinned")[:-1], roots[2]])),
        "no-org": ("policy-signer", policy(6, None, roots)),
        "empty-org": ("policy-signer", policy(6, [], roots)),
        "no-sha": ("policy-signer", policy(6, publishers, None)),
        "empty-sha": ("policy-signer", policy(6, publishers, [])),
        # The partner's publisher, but not its root.
        "pinned-only": ("policy-signer", policy(6, publishers, roots[:2])),
        "blocked": ("policy-signer", policy(6, publishers, roots, sers=["0A0B0C0D"])),
    }
    for name, (cert, text) in scripts.items():
        qelsign.sign_script(cert, text, path(name + ".js"))
    with open(path("unsigned.js"), "wb") as f:
        f.write(b"\xff\xfe" + scripts["v6"][1].replace("\n", "\r\n").encode("utf-16-le"))

    # Cabinets signed by the partner (refused by the built-in policy) or by the
    # foreign publisher (refused by every policy but v7).
    readme = path("readme.txt")
    with open(readme, "w") as f:
        f.write("no policy in here\n")
    cabinet(path("refresh.cab"), {"trusted.js": path("v6.js")}, "partner", out)
    cabinet(path("v5.cab"), {"trusted.js": path("v5.js")}, "partner", out)
    cabinet(path("v7.cab"), {"trusted.js": path("v7.js")}, "foreign", out)
    cabinet(path("nopolicy.cab"), {"readme.txt": readme}, "partner", out)
    cabinet(path("tarsen.cab"), {"readme.txt": readme}, "tarsen", out)
    # Only a cabinet's first trusted.js counts; one larger than a policy file
    # can be (1 MiB) is refused.
    cabinet(path("twice.cab"), {"trusted.js": path("v6.js"), "trustex.js": path("v7.js")}, "partner", out,
            rename=("trustex.js", "trusted.js"))
    with open(readme, "wb") as f:
        f.write(b"\xff\xfe" + b"\x00" * (1 << 20))
    cabinet(path("oversized.cab"), {"trusted.js": readme}, "partner", out)
    os.remove(readme)

    for crt in glob.glob(os.path.join(PKI, "*.crt")):
        shutil.copy(crt, out)
    open(path(".samples-ready"), "w").close()


if __name__ == "__main__":
    main()
