#!/usr/bin/python3
"""Writes a .reg file that makes a Wine prefix's user trust a test CA.

The certificate goes into the current user's "Root" system store, which lives in
the registry: HKCU\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\<SHA-1
thumbprint>, value "Blob" = the certificate as a serialized store element. Importing
the file with `wine reg import` needs no dialog and nothing on the host changes.
"""

import argparse
import hashlib
import ssl
import struct
import sys

ROOT_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\SystemCertificates\Root\Certificates"
CERT_CERT_PROP_ID = 0x20


def read_certificate(path):
    """DER bytes of the one certificate in a PEM or DER file."""
    with open(path, "rb") as f:
        data = f.read()
    if b"-----BEGIN CERTIFICATE-----" in data:
        text = data.decode("ascii")
        if text.count("-----BEGIN CERTIFICATE-----") != 1:
            raise ValueError("%s: expected exactly one certificate" % path)
        return ssl.PEM_cert_to_DER_cert(text[text.index("-----BEGIN CERTIFICATE-----"):])
    if not data.startswith(b"\x30"):
        raise ValueError("%s: neither PEM nor DER certificate" % path)
    return data


def serialized_element(der):
    # A store element is a list of properties: property id, a reserved 1, the length,
    # then the bytes. The certificate itself is the property 0x20; the store derives the
    # hashes it needs from it.
    return struct.pack("<III", CERT_CERT_PROP_ID, 1, len(der)) + der


def reg_hex(name, data):
    """A REG_BINARY line in regedit form, wrapped like regedit writes it."""
    hexes = ["%02x" % b for b in data]
    lines = []
    line = '"%s"=hex:' % name
    for i, h in enumerate(hexes):
        piece = h + ("," if i + 1 < len(hexes) else "")
        if len(line) + len(piece) > 77:
            lines.append(line + "\\")
            line = "  "
        line += piece
    lines.append(line)
    return "\r\n".join(lines)


def build_reg(der):
    thumbprint = hashlib.sha1(der).hexdigest().upper()
    text = ("Windows Registry Editor Version 5.00\r\n\r\n"
            "[%s\\%s]\r\n%s\r\n\r\n" % (ROOT_KEY, thumbprint, reg_hex("Blob", serialized_element(der))))
    return thumbprint, text


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="trust-ca-reg.py",
        description="Write a .reg file (UTF-16 with BOM, as regedit exports) that adds a CA "
                    "certificate to HKCU\\Software\\Microsoft\\SystemCertificates\\Root of a "
                    "Wine prefix. Import it with: WINEPREFIX=... wine reg import OUT.reg",
        epilog="Prints the SHA-1 thumbprint (upper-case hex, the registry key name).")
    parser.add_argument("ca", metavar="CA.pem", help="CA certificate, PEM or DER")
    parser.add_argument("out", metavar="OUT.reg", help="registry file to write")
    args = parser.parse_args(argv)
    try:
        thumbprint, text = build_reg(read_certificate(args.ca))
    except (OSError, ValueError) as e:
        print("trust-ca-reg.py: %s" % e, file=sys.stderr)
        return 1
    with open(args.out, "wb") as f:
        f.write(b"\xff\xfe" + text.encode("utf-16-le"))
    print(thumbprint)
    return 0


if __name__ == "__main__":
    sys.exit(main())
