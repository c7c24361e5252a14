#!/usr/bin/python3
"""The built launcher can be compared with a signed release of its commit: its PE header carries no link
time, and tools/release/compare_signed_launcher.py finds a signed copy of it the same and a copy with one
changed byte different. The copy is signed with a throwaway certificate (openssl, osslsigncode).

    release_check.py EXE SCRATCH_DIR
"""
import pathlib
import shutil
import struct
import subprocess
import sys

COMPARE = pathlib.Path(__file__).resolve().parents[2] / "tools" / "release" / "compare_signed_launcher.py"


def run(*command):
    return subprocess.run(command, capture_output=True, text=True)


def main():
    exe, scratch = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
    head = exe.read_bytes()[:4096]
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if struct.unpack_from("<I", head, pe + 8)[0] != 0:
        sys.exit(f"{exe}: link time in the header")

    shutil.rmtree(scratch, ignore_errors=True)
    scratch.mkdir(parents=True)
    key, cert, signed = scratch / "key.pem", scratch / "cert.pem", scratch / "signed.exe"
    made = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", str(key), "-out", str(cert),
               "-days", "1", "-subj", "/CN=TESSARO release check")
    if made.returncode != 0:
        sys.exit(made.stderr)
    sign = run("osslsigncode", "sign", "-certs", str(cert), "-key", str(key), "-in", str(exe), "-out", str(signed))
    if sign.returncode != 0:
        sys.exit(sign.stdout + sign.stderr)

    same = run("/usr/bin/python3", str(COMPARE), str(signed), str(exe))
    if same.returncode != 0 or same.stdout.strip() != "same":
        sys.exit(f"a signed copy does not compare the same: {same.stdout}{same.stderr}")
    changed = bytearray(signed.read_bytes())
    changed[pe + 0x200] ^= 1
    signed.write_bytes(changed)
    different = run("/usr/bin/python3", str(COMPARE), str(signed), str(exe))
    if different.returncode != 1:
        sys.exit(f"a changed copy compares the same: {different.stdout}{different.stderr}")
    print("no link time; a signed copy compares the same, a changed one different")


if __name__ == "__main__":
    main()
