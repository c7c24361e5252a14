#!/usr/bin/python3
"""The built launcher's PE header carries no link time: the same commit links to the same bytes wherever
it is built, so a released executable can be rebuilt and compared with the signed one.

    pe_header_check.py EXE
"""
import struct
import sys


def main():
    with open(sys.argv[1], "rb") as exe:
        head = exe.read(4096)
    pe = struct.unpack_from("<I", head, 0x3C)[0]
    if head[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{sys.argv[1]}: no PE header")
    stamp = struct.unpack_from("<I", head, pe + 8)[0]
    if stamp != 0:
        sys.exit(f"{sys.argv[1]}: link time {stamp} in the header")
    print("no link time in the header")


if __name__ == "__main__":
    main()
