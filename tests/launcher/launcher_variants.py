#!/usr/bin/python3
"""Signed launcher releases of the executables the launcher tests use.

For each variant, DIR/<name>/launcher/{manifest.json,TESSARO-Setup.exe} is written by the publisher
tool exactly as the development portal serves it, so a test offers a variant by copying the two files
into the portal's data folder. A variant may carry another fixed file version in its version block
(the file is patched before it is signed): setup judges an installed launcher by that number.
"""

import argparse
import shutil
import struct
import subprocess
import sys
from pathlib import Path

FIXED_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def variants(binary_dir):
    bin_dir = binary_dir / "bin"
    tessaro = bin_dir / "TESSARO.exe"
    return [
        # name, executable, release version, fixed file version to patch in (or None), signature policy
        ("tessaro-1.0.2", tessaro, "1.0.2", None, "unsigned"),
        ("tessaro-1.0.3", binary_dir / "launcher-1.0.3" / "bin" / "TESSARO.exe", "1.0.3", None, "unsigned"),
        ("tessaro-1.0.2.9", tessaro, "1.0.2", (1, 0, 2, 9), "unsigned"),
        ("tessaro-0.9.9", tessaro, "0.9.9", None, "unsigned"),
        ("tessaro-1.0.2-signed-only", tessaro, "1.0.2", None, "required"),
        ("driver", bin_dir / "launcher_driver.exe", "1.0.2", None, "unsigned"),
        ("standin-1.0.3", bin_dir / "launcher_standin.exe", "1.0.3", None, "unsigned"),
    ]


def patch_file_version(data, version):
    """Sets the fixed file version of the one VS_FIXEDFILEINFO block in an executable."""
    at = data.find(FIXED_INFO_SIGNATURE)
    if at < 0 or data.find(FIXED_INFO_SIGNATURE, at + 1) >= 0:
        raise SystemExit("expected exactly one version block")
    major, minor, build, revision = version
    return (data[:at + 8] + struct.pack("<II", (major << 16) | minor, (build << 16) | revision)
            + data[at + 16:])


def publish(publisher, out, name, exe, version, file_version, policy):
    folder = out / name
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    if file_version:
        patched = folder / "source.exe"
        patched.write_bytes(patch_file_version(exe.read_bytes(), file_version))
        exe = patched
    subprocess.run([sys.executable, str(publisher), "launcher", "--data", str(folder), "--exe", str(exe),
                    "--version", version, "--build-id", name, "--authenticode-policy", policy],
                   check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary-dir", required=True, type=Path, help="the CMake build tree")
    parser.add_argument("--source-dir", required=True, type=Path, help="the source tree")
    parser.add_argument("--out", required=True, type=Path, help="folder that receives the variants")
    args = parser.parse_args()
    publisher = args.source_dir / "tools" / "publisher" / "tessaro_publish.py"
    for variant in variants(args.binary_dir):
        publish(publisher, args.out, *variant)


if __name__ == "__main__":
    main()
