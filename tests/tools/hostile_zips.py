#!/usr/bin/python3
"""Release archives that the launcher's extraction must refuse, each with a signed manifest.

Every manifest is itself valid (it lists appTESSARO.exe and delivery-manifest.json, sizes add up),
so a refusal can only come from the archive. The manifest lists the file that carries the defect
wherever possible, so an extractor that lacks a check does not stumble into a different refusal by
luck. Defects that Python's zipfile cannot write (encryption, unknown methods, bad CRCs, odd name
bytes) are made by patching the headers of a written archive in place.

    hostile_zips.py make OUTDIR [--large] [--only NAME ...]
    hostile_zips.py list

OUTDIR/index.json is an array of {"name", "archive", "manifest", "expectedMessage"}; archive and
manifest are file names inside OUTDIR; expectedMessage is the extraction's exact refusal, or null
for the control archives that must unpack completely.
"""

import argparse
import binascii
import hashlib
import io
import json
import random
import struct
import sys
import uuid
import warnings
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "publisher"))
import tessaro_publish  # noqa: E402

BUILD_ID = "hostile-fixture"
ENGINE = "tessaro-desktop"
APP = ("appTESSARO.exe", b"MZ\x90\x00 not a real program, only its name matters here\n")
DELIVERY = ("delivery-manifest.json", tessaro_publish.canonical_json({"buildId": BUILD_ID,
                                                                     "engine": ENGINE}))
PASSWORD = b"tessaro"
FILE_ATTR = (0o100644 << 16)
DIR_ATTR = (0o040755 << 16) | 0x10  # Unix directory plus the MS-DOS directory bit

BAD_PATH = "Unzulässiger Archivpfad."
ABSOLUTE_PATH = "Absoluter oder leerer Archivpfad."
RESERVED = "Reservierter Windows-Dateiname."
CONTROL = "Steuerzeichen im Archivpfad."
BAD_UTF8 = "Ungültige UTF-8-Daten."
NUL_NAME = "Nullzeichen im ZIP-Namen."
LINK = "ZIP-Verknüpfungen sind nicht erlaubt."
DUPLICATE = "Doppelte ZIP-Pfade."
BAD_FOLDER = "Ungültiger ZIP-Ordner."
UNSUPPORTED = "Nicht unterstützter ZIP-Eintrag."
DAMAGED = "ZIP-Daten beschädigt oder Speicher voll."
TAMPERED = "Entpackter Dateiinhalt ist manipuliert."
NOT_IN_MANIFEST = "ZIP-Inhalt stimmt nicht mit Manifest überein."
MISSING = "Dateien fehlen im Archiv."
TOO_MANY = "Zu viele ZIP-Einträge."


@dataclass
class Entry:
    """One archive entry and what to break in its headers after zipfile has written it."""
    name: str
    data: bytes = b""
    directory: bool = False
    method: int = zipfile.ZIP_DEFLATED
    attr: int = None
    listed: bool = True  # listed in the manifest (files only) with its true size and hash
    listed_as: bytes = None  # listed, but with the size and hash of these bytes instead
    raw_name: bytes = None  # header name bytes replacing the encoded name (same length)
    encrypt: bool = False
    patch_method: int = None
    break_crc: bool = False
    zip64: bool = False  # ZIP64 sizes in the local header although the entry is small


@dataclass
class Case:
    name: str
    expected: str
    entries: list
    extra_listed: list = field(default_factory=list)  # (path, bytes) listed but not archived
    large: bool = False
    streamed: bool = False  # written as to a pipe: sizes and CRCs follow the data (data descriptors)


def base():
    return [Entry(*APP), Entry(*DELIVERY)]


def folders(count, prefix="d"):
    return [Entry(f"{prefix}{index:06d}/", directory=True) for index in range(count)]


def cases():
    """The catalogue of cases; the 70,000-entry ones are built lazily by their entry lists."""
    text = b"plain text\n"
    return [
        Case("valid", None, base() + [Entry("docs/", directory=True), Entry("docs/readme.txt", text),
                                      Entry("empty.dat")]),
        # Compressed data of several read buffers, between two reads of the central directory.
        Case("large-random-entry", None,
             [Entry(*APP), Entry("data/random.bin", random.Random(7).randbytes(300_000)), Entry(*DELIVERY)]),
        Case("data-descriptors", None,
             base() + [Entry("docs/readme.txt", text), Entry("data/random.bin", random.Random(8).randbytes(5000))],
             streamed=True),
        Case("zip64-local-sizes", None, base() + [Entry("data.bin", text * 50, zip64=True)]),
        Case("zip-slip", BAD_PATH, [Entry("../evil.txt", text, listed=False)] + base()),
        Case("zip-slip-nested", BAD_PATH, [Entry("bin/../../evil.txt", text, listed=False)] + base()),
        Case("absolute-slash", ABSOLUTE_PATH, [Entry("/evil.txt", text, listed=False)] + base()),
        Case("absolute-drive", BAD_PATH, [Entry("C:/evil.txt", text, listed=False)] + base()),
        Case("backslash", BAD_PATH, [Entry("bin\\evil.txt", text, listed=False)] + base()),
        Case("backslash-parent", BAD_PATH, [Entry("..\\evil.txt", text, listed=False)] + base()),
        Case("reserved-name", RESERVED, [Entry("bin/con.txt", text, listed=False)] + base()),
        Case("control-character", CONTROL, [Entry("tab\there.txt", text, listed=False)] + base()),
        Case("nul-in-name", NUL_NAME,
             [Entry("nul_evil.txt", text, listed=False, raw_name=b"nul\0evil.txt")] + base()),
        Case("invalid-utf8-name", BAD_UTF8,
             [Entry("bad_.txt", text, listed=False, raw_name=b"bad\xff.txt")] + base()),
        Case("symbolic-link", LINK, [Entry("link", b"appTESSARO.exe", attr=0o120777 << 16)] + base()),
        Case("unix-fifo", LINK, [Entry("pipe", b"", attr=0o010644 << 16)] + base()),
        Case("folder-type-on-file", LINK, [Entry("notes.txt", text, attr=0o040755 << 16)] + base()),
        Case("case-duplicate", DUPLICATE,
             base() + [Entry("readme.txt", text), Entry("README.TXT", text, listed=False)]),
        Case("exact-duplicate", DUPLICATE,
             base() + [Entry("readme.txt", text), Entry("readme.txt", text, listed=False)]),
        Case("file-then-folder", DUPLICATE,
             base() + [Entry("data", text), Entry("data/", directory=True)]),
        Case("folder-then-file", DUPLICATE,
             base() + [Entry("data/", directory=True), Entry("data", text)]),
        Case("file-below-file", NOT_IN_MANIFEST,
             base() + [Entry("data", text), Entry("data/inner.txt", text, listed=False)]),
        Case("folder-with-data", BAD_FOLDER, [Entry("docs/", b"hidden", directory=True)] + base()),
        Case("encrypted", UNSUPPORTED, [Entry("secret.txt", text, encrypt=True)] + base()),
        Case("method-lzma", UNSUPPORTED, [Entry("packed.txt", text, method=zipfile.ZIP_LZMA)] + base()),
        Case("method-bzip2", UNSUPPORTED, [Entry("packed.txt", text, method=zipfile.ZIP_BZIP2)] + base()),
        Case("method-99", UNSUPPORTED,
             [Entry("packed.txt", text, method=zipfile.ZIP_STORED, patch_method=99)] + base()),
        Case("crc-mismatch", DAMAGED, base() + [Entry("data.bin", text * 50, break_crc=True)]),
        Case("wrong-content", TAMPERED, base() + [Entry("data.bin", text, listed_as=b"PLAIN TEXT\n")]),
        # The tampered file is hashed while the next entry is read: its failure still comes first.
        Case("wrong-content-then-surplus", TAMPERED,
             base() + [Entry("data.bin", text * 400_000, listed_as=text.upper() * 400_000),
                       Entry("surplus.txt", text, listed=False)]),
        # More files behind the tampered one than the hash queue holds: its failure is taken while the
        # queue is full, and the results behind it must not be paired with the files before them.
        Case("wrong-content-then-many", TAMPERED,
             base() + [Entry("data.bin", text, listed_as=b"PLAIN TEXT\n")]
             + [Entry(f"more/{index:03d}.txt", b"%d\n" % index) for index in range(40)]),
        Case("wrong-content-then-identical", TAMPERED,
             base() + [Entry("same/000.bin", b"y", listed_as=b"x")]
             + [Entry(f"same/{index:03d}.bin", b"x") for index in range(1, 41)]),
        # Many small files keep the hash queue full for most of the extraction.
        Case("many-small-files", None,
             base() + [Entry(f"small/{index:03d}.txt", b"%d\n" % index) for index in range(300)]),
        Case("size-mismatch", NOT_IN_MANIFEST, base() + [Entry("data.bin", text, listed_as=text + b"!")]),
        Case("missing-file", MISSING, base(), extra_listed=[("lib/missing.dll", text)]),
        Case("surplus-file", NOT_IN_MANIFEST, base() + [Entry("surplus.txt", text, listed=False)]),
        # The entry limit is the manifest's file count plus 10,000; folders count as entries.
        Case("entries-at-limit", None, base() + folders(10_000)),
        Case("too-many-entries", TOO_MANY, base() + folders(10_001)),
        Case("zip64-too-many-entries", TOO_MANY, base() + folders(70_000 - 2)),
        # 70,000 entries that all belong: the last listed files lie beyond entry 65,535, so a
        # reader that trusts the 16-bit count misses them.
        Case("zip64-many-files", None,
             folders(10_000) + [Entry(f"f{index // 1000:02d}/{index:05d}.dat") for index in range(59_998)]
             + base(), large=True),
    ]


# ---------------------------------------------------------------------------------------------
# Writing and patching


def _crc_table():
    table = []
    for value in range(256):
        for _ in range(8):
            value = (value >> 1) ^ 0xEDB88320 if value & 1 else value >> 1
        table.append(value)
    return table


CRC_TABLE = _crc_table()


def zipcrypto_encrypt(plain, password, crc):
    """Traditional PKWARE encryption, so the entry is truly encrypted and not only flagged."""
    keys = [0x12345678, 0x23456789, 0x34567890]

    def update(byte):
        keys[0] = (keys[0] >> 8) ^ CRC_TABLE[(keys[0] ^ byte) & 0xFF]
        keys[1] = ((keys[1] + (keys[0] & 0xFF)) * 134775813 + 1) & 0xFFFFFFFF
        keys[2] = (keys[2] >> 8) ^ CRC_TABLE[(keys[2] ^ (keys[1] >> 24)) & 0xFF]

    for byte in password:
        update(byte)
    header = hashlib.sha256(plain).digest()[:11] + bytes([crc >> 24])
    out = bytearray()
    for byte in header + plain:
        temp = (keys[2] | 2) & 0xFFFF
        out.append(byte ^ (((temp * (temp ^ 1)) >> 8) & 0xFF))
        update(byte)
    return bytes(out)


def central_directory(data):
    """(central header offset, local header offset) of each entry, in archive order."""
    eocd = data.rfind(b"PK\x05\x06")
    count, _, offset = struct.unpack_from("<HII", data, eocd + 10)
    if count == 0xFFFF or offset == 0xFFFFFFFF:
        locator = data.rfind(b"PK\x06\x07", 0, eocd)
        zip64 = struct.unpack_from("<Q", data, locator + 8)[0]
        count, _, offset = struct.unpack_from("<QQQ", data, zip64 + 32)
    records = []
    for _ in range(count):
        assert data[offset:offset + 4] == b"PK\x01\x02"
        name_len, extra_len, comment_len = struct.unpack_from("<HHH", data, offset + 28)
        local = struct.unpack_from("<I", data, offset + 42)[0]
        records.append((offset, local))
        offset += 46 + name_len + extra_len + comment_len
    return records


def patch_entry(data, index, *, flags_or=0, method=None, crc=None, size=None, name=None):
    """Change one entry's fields in both its central and its local header."""
    central, local = central_directory(data)[index]
    for header, flag_at, method_at, crc_at, size_at, name_len_at, name_at in (
            (central, 8, 10, 16, 24, 28, 46), (local, 6, 8, 14, 22, 26, 30)):
        flags = struct.unpack_from("<H", data, header + flag_at)[0]
        struct.pack_into("<H", data, header + flag_at, flags | flags_or)
        if method is not None:
            struct.pack_into("<H", data, header + method_at, method)
        if crc is not None:
            struct.pack_into("<I", data, header + crc_at, crc)
        if size is not None:
            struct.pack_into("<I", data, header + size_at, size)
        if name is not None:
            assert struct.unpack_from("<H", data, header + name_len_at)[0] == len(name)
            data[header + name_at:header + name_at + len(name)] = name


class _Pipe(io.RawIOBase):
    """A stream zipfile cannot seek back in, so that it writes data descriptors."""

    def __init__(self):
        super().__init__()
        self.data = io.BytesIO()

    def writable(self):
        return True

    def write(self, data):
        return self.data.write(data)

    def tell(self):
        return self.data.tell()

    def seek(self, *_):
        raise io.UnsupportedOperation("seek")

    def getbuffer(self):
        return self.data.getbuffer()


def build_archive(entries, streamed=False):
    """The archive bytes: zipfile writes the entries, then their defects are patched in."""
    stream = _Pipe() if streamed else io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # zipfile warns about the duplicate names we want
        with zipfile.ZipFile(stream, "w", allowZip64=True) as archive:
            for entry in entries:
                info = zipfile.ZipInfo(entry.name, date_time=(1980, 1, 1, 0, 0, 0))
                info.create_system = 3
                info.compress_type = zipfile.ZIP_STORED if entry.directory else entry.method
                info.external_attr = entry.attr if entry.attr is not None else \
                    DIR_ATTR if entry.directory else FILE_ATTR
                data = entry.data
                if entry.encrypt:
                    info.compress_type = zipfile.ZIP_STORED
                    data = zipcrypto_encrypt(data, PASSWORD, binascii.crc32(entry.data))
                # open() rather than writestr(): it writes folder entries with data as asked.
                with archive.open(info, "w", force_zip64=entry.zip64) as sink:
                    sink.write(data)
    data = bytearray(stream.getbuffer())
    for index, entry in enumerate(entries):
        if entry.encrypt:
            patch_entry(data, index, flags_or=1, crc=binascii.crc32(entry.data), size=len(entry.data))
        if entry.patch_method is not None:
            patch_entry(data, index, method=entry.patch_method)
        if entry.break_crc:
            patch_entry(data, index, crc=binascii.crc32(entry.data) ^ 0x5A5A5A5A)
        if entry.raw_name is not None:
            patch_entry(data, index, name=entry.raw_name)
    return bytes(data)


def manifest_document(case, archive):
    files = []
    for entry in case.entries:
        if entry.directory or not entry.listed:
            continue
        content = entry.data if entry.listed_as is None else entry.listed_as
        files.append({"path": entry.name, "sha256": hashlib.sha256(content).hexdigest(),
                      "size": len(content)})
    for path, content in case.extra_listed:
        files.append({"path": path, "sha256": hashlib.sha256(content).hexdigest(), "size": len(content)})
    release_id = str(uuid.uuid5(uuid.NAMESPACE_URL, "tessaro-hostile-archive/" + case.name))
    return {
        "artifact": {"artifactId": release_id, "fileCount": len(files),
                     "sha256": hashlib.sha256(archive).hexdigest(), "size": len(archive),
                     "unpackedSize": sum(f["size"] for f in files)},
        "authenticodePolicy": "unsigned",
        "buildId": BUILD_ID,
        "channel": "stable",
        "compatibility": {"engine": ENGINE, "minLauncherVersion": "1.0.0", "minWindowsBuild": 10240,
                          "profileSchemaMax": 1, "profileSchemaMin": 1, "profileSchemaWrite": 1,
                          "projectSchemaMax": 1, "projectSchemaMin": 1, "projectSchemaWrite": 1},
        "files": files,
        "platform": "win-x64",
        "product": "tessaro",
        "releaseId": release_id,
        "schemaVersion": 1,
        "testOnly": False,
        "version": "0.0.0-" + case.name,
    }


def make(outdir, *, large=False, only=None, signer=None):
    """Write every selected case and index.json into `outdir`; returns the index."""
    outdir = Path(outdir)
    outdir.mkdir(parents=True, exist_ok=True)
    signer = signer or tessaro_publish.Signer()
    index = []
    for case in cases():
        if (only and case.name not in only) or (case.large and not large and not only):
            continue
        archive = build_archive(case.entries, streamed=case.streamed)
        envelope = signer.sign_document(manifest_document(case, archive))
        (outdir / f"{case.name}.zip").write_bytes(archive)
        (outdir / f"{case.name}.manifest.json").write_bytes(envelope)
        index.append({"name": case.name, "archive": f"{case.name}.zip",
                      "manifest": f"{case.name}.manifest.json", "expectedMessage": case.expected})
    (outdir / "index.json").write_bytes(json.dumps(index, ensure_ascii=False, indent=2).encode())
    return index


def main(argv=None):
    parser = argparse.ArgumentParser(prog="hostile_zips.py", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    p = commands.add_parser("make", help="write the archives, their manifests and index.json")
    p.add_argument("outdir")
    p.add_argument("--large", action="store_true",
                   help="also write the slow cases (a 70,000-entry archive with 60,000 files)")
    p.add_argument("--only", nargs="+", metavar="NAME", help="write only these cases")
    p.add_argument("--key", help="private key (default: the development key)")
    p.add_argument("--key-id", help="key identifier")
    commands.add_parser("list", help="print the case names and their expected messages")
    args = parser.parse_args(argv)
    if args.command == "list":
        for case in cases():
            print(f"{case.name}\t{case.expected}{'  (--large)' if case.large else ''}")
        return 0
    known = {case.name for case in cases()}
    unknown = sorted(set(args.only or ()) - known)
    if unknown:
        parser.error("unknown case: " + ", ".join(unknown))
    index = make(args.outdir, large=args.large, only=args.only,
                 signer=tessaro_publish.Signer(args.key, args.key_id))
    print(f"{len(index)} cases in {Path(args.outdir) / 'index.json'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
