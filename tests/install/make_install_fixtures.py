#!/usr/bin/python3
"""Fixtures of the package installation tests, written into one folder of the build tree.

    make_install_fixtures.py --out DIR --exe PROGRAM [--large]

DIR/hostile/       the hostile archives of tests/tools/hostile_zips.py with their index.json
DIR/receipts/      signed manifests for receipt cases (test package; everything else comes from hostile/)
DIR/signed/        copies of PROGRAM signed by a throw-away test CA: "named.exe" (signer
                   "CORVALIS Test Publisher"), "unnamed.exe" (signer without any name), and
                   "unsigned.exe" (the copy as it is)

Signing needs openssl and osslsigncode on the host; without them the signed copies are left out and
the tests that need them skip.
"""

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "tools"))
sys.path.insert(0, str(ROOT / "tools" / "publisher"))
import hostile_zips  # noqa: E402
import tessaro_publish  # noqa: E402

LEAF_EXTENSIONS = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n"


def run(*command, cwd):
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_receipts(outdir, signer):
    """A signed manifest of a test package (the other receipt cases reuse the hostile "valid" one)."""
    outdir.mkdir(parents=True, exist_ok=True)
    case = next(c for c in hostile_zips.cases() if c.name == "valid")
    document = hostile_zips.manifest_document(case, hostile_zips.build_archive(case.entries))
    document["testOnly"] = True
    (outdir / "test-only.manifest.json").write_bytes(signer.sign_document(document))
    (outdir / "test-only.releaseId").write_text(document["releaseId"])


def make_signed(outdir, program):
    """Copies of a real program signed by a test CA that no store trusts."""
    if not (shutil.which("openssl") and shutil.which("osslsigncode")):
        print("openssl or osslsigncode missing: no signed programs", file=sys.stderr)
        return
    outdir.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(program, outdir / "unsigned.exe")
    with tempfile.TemporaryDirectory() as work:
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt",
            "-days", "3650", "-subj", "/CN=TESSARO Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=work)
        Path(work, "leaf.ext").write_text(LEAF_EXTENSIONS)
        for name, subject in (("named", "/CN=CORVALIS Test Publisher"), ("unnamed", "/")):
            run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                f"{name}.csr", "-subj", subject, cwd=work)
            run("openssl", "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "3650", "-extfile", "leaf.ext", "-out", f"{name}.crt", cwd=work)
            run("osslsigncode", "sign", "-certs", f"{name}.crt", "-ac", "ca.crt", "-key", f"{name}.key",
                "-h", "sha256", "-in", str(program), "-out", str(outdir / f"{name}.exe"), cwd=work)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="make_install_fixtures.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", required=True, help="fixture folder (replaced)")
    parser.add_argument("--exe", required=True, help="a Windows program to sign")
    parser.add_argument("--large", action="store_true", help="also the 70,000-entry archive")
    args = parser.parse_args(argv)

    out = Path(args.out).resolve()
    if out.exists():
        shutil.rmtree(out)
    signer = tessaro_publish.Signer()
    index = hostile_zips.make(out / "hostile", large=args.large, signer=signer)
    make_receipts(out / "receipts", signer)
    make_signed(out / "signed", Path(args.exe).resolve())
    (out / "ready.json").write_text(json.dumps({"hostileCases": len(index)}))
    print(f"{len(index)} hostile cases, fixtures in {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
