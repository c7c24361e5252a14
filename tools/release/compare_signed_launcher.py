#!/usr/bin/python3
"""Compares a signed TESSARO.exe with one built from the same commit.

The launcher is linked without a time stamp, so a build of the release's commit with the same cache
settings gives the same bytes. Signing appends the certificate table (after padding the file to a
multiple of 8 bytes), enters it in the header's security directory and sets the header checksum; this
tool takes those three off the signed file and then compares byte for byte.

    compare_signed_launcher.py SIGNED BUILT

Prints "same" and exits 0 when the files match, else prints the first differing offset and exits 1.
"""
import struct
import sys

PE32_PLUS = 0x20B


def without_signature(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("no PE header")
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != PE32_PLUS:
        raise ValueError("not a 64-bit executable")
    checksum = optional + 64
    security = optional + 112 + 4 * 8
    offset, size = struct.unpack_from("<II", data, security)
    image = bytearray(data[:offset] if size else data)
    image[checksum:checksum + 4] = bytes(4)
    image[security:security + 8] = bytes(8)
    return bytes(image).rstrip(b"\0")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    signed, built = (without_signature(open(path, "rb").read()) for path in sys.argv[1:3])
    if signed == built:
        print("same")
        return
    first = next((i for i, (a, b) in enumerate(zip(signed, built)) if a != b), min(len(signed), len(built)))
    print(f"different from offset {first}")
    sys.exit(1)


if __name__ == "__main__":
    main()
