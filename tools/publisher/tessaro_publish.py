#!/usr/bin/python3
"""Publisher tool for TESSARO: keys, signed envelopes, releases, catalogs and launcher releases.

Writes the portal data folder that the development portal serves. Every signed file is written
once, byte for byte, and never re-serialised afterwards: clients pin catalog entries to the SHA-256
of the manifest envelope text, so rewriting an envelope would orphan every catalog that names it.

Run with --help, or <command> --help, for the options.
"""

import argparse
import base64
import datetime
import hashlib
import json
import os
import re
import secrets
import shutil
import stat
import sys
import tempfile
import uuid
import zipfile
from pathlib import Path

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

DEV_KEY_DIR = Path(__file__).resolve().parent.parent / "dev-keys"
DEV_KEY_FILE = DEV_KEY_DIR / "development-only-private-key.pem"
DEV_KEY_ID = "development-only-2026"

# Bounds the client enforces; publishing past them only produces documents it refuses.
MAX_FILES = 100_000
MAX_ARTIFACT_SIZE = 4 * 1024**3
MAX_UNPACKED_SIZE = 16 * 1024**3
MAX_LAUNCHER_SIZE = 10 * 1024 * 1024
MAX_CATALOG_ENTRIES = 10_000
MAX_CATALOG_WINDOW = 7 * 24 * 3600
LAUNCHER_VERSION = (1, 0, 2)  # the newest launcher that exists; newer minimums lock everyone out

ZIP_TIMESTAMP = (1980, 1, 1, 0, 0, 0)  # fixed, so the same tree always gives the same archive
COPY_BLOCK = 1024 * 1024

UUID_RE = re.compile(r"^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$")
LAUNCHER_BUILD_RE = re.compile(r"^[A-Za-z0-9._-]{1,100}$")
THREE_PART_VERSION_RE = re.compile(r"^(\d+)\.(\d+)\.(\d+)$")
UTC_DATE_RE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})(\.\d{1,7})?Z$")


class PublishError(Exception):
    """A refusal the user can fix; printed without a traceback."""


def warn(text):
    print("warning: " + text, file=sys.stderr)


# ---------------------------------------------------------------------------------------------
# Documents, hashing and files


def canonical_json(document):
    """Compact JSON with members in key order and UTF-8 text, as the client writes its own."""
    return json.dumps(document, ensure_ascii=False, sort_keys=True, separators=(",", ":"),
                      allow_nan=False).encode("utf-8")


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        while block := stream.read(COPY_BLOCK):
            digest.update(block)
    return digest.hexdigest()


def write_atomically(path, data, mode=0o644):
    """Replace `path` whole, so the portal never serves a half-written document."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(prefix="." + path.name + ".", suffix=".tmp", dir=path.parent)
    try:
        with os.fdopen(fd, "wb") as stream:
            stream.write(data)
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temp, mode)
        os.replace(temp, path)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise


def utc_text(moment):
    return moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def parse_utc_text(text):
    """Seconds since 1970 of a document date, accepting exactly the client's form."""
    match = UTC_DATE_RE.match(text)
    if not match:
        raise PublishError(f"date {text!r} is not of the form YYYY-MM-DDTHH:MM:SS[.fraction]Z")
    try:
        moment = datetime.datetime(*(int(part) for part in match.groups()[:6]),
                                   tzinfo=datetime.timezone.utc)
    except ValueError as error:
        raise PublishError(f"date {text!r} does not exist: {error}") from None
    if moment.year < 1970:
        raise PublishError(f"date {text!r} lies before 1970")
    return int(moment.timestamp())


def parse_override(text):
    path, sep, value = text.partition("=")
    if not sep or not path:
        raise PublishError(f"override {text!r} is not PATH=JSON")
    try:
        return path, json.loads(value)
    except json.JSONDecodeError:
        raise PublishError(f"override value of {path!r} is not JSON (quote strings: "
                           f"{path}='\"text\"')") from None


def _walk_to_parent(document, dotted):
    parts = dotted.split(".")
    node = document
    for part in parts[:-1]:
        node = node[int(part)] if isinstance(node, list) else node.setdefault(part, {})
    return node, parts[-1]


def apply_overrides(document, overrides, removals):
    """Deliberate changes for test documents, applied after the tool's own checks."""
    try:
        for dotted, value in overrides:
            node, last = _walk_to_parent(document, dotted)
            if isinstance(node, list):
                node[int(last)] = value
            else:
                node[last] = value
        for dotted in removals:
            node, last = _walk_to_parent(document, dotted)
            del node[int(last) if isinstance(node, list) else last]
    except (KeyError, IndexError, ValueError, TypeError) as error:
        raise PublishError(f"override or removal does not fit the document: {error!r}") from None
    return document


# ---------------------------------------------------------------------------------------------
# Keys and envelopes


def b64(data):
    return base64.b64encode(data).decode("ascii")


def unsigned_bytes(number):
    return number.to_bytes((number.bit_length() + 7) // 8, "big")


def key_set_text(public_key, key_id):
    numbers = public_key.public_numbers()
    element = {"exponent": b64(unsigned_bytes(numbers.e)), "keyId": key_id,
               "modulus": b64(unsigned_bytes(numbers.n))}
    # Member order exponent, keyId, modulus is fixed: the C++ build embeds this text verbatim.
    return json.dumps([element], ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def load_private_key(path):
    try:
        data = Path(path).read_bytes()
    except OSError as error:
        raise PublishError(f"cannot read private key {path}: {error.strerror}") from None
    key = serialization.load_pem_private_key(data, password=None)
    if not isinstance(key, rsa.RSAPrivateKey):
        raise PublishError(f"{path} does not hold an RSA private key")
    return key


def infer_key_id(key_path, key):
    """Find the key identifier in a trust-key file beside the private key."""
    modulus = b64(unsigned_bytes(key.public_key().public_numbers().n))
    for candidate in sorted(Path(key_path).parent.glob("*-trust-keys.json")):
        try:
            elements = json.loads(candidate.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue
        for element in elements if isinstance(elements, list) else []:
            if isinstance(element, dict) and element.get("modulus") == modulus:
                return element.get("keyId")
    raise PublishError(f"no trust-key file beside {key_path} names this key; give --key-id")


class Signer:
    def __init__(self, key_path=None, key_id=None):
        key_path = Path(key_path) if key_path else DEV_KEY_FILE
        self.key = load_private_key(key_path)
        if key_id is None:
            key_id = DEV_KEY_ID if key_path.resolve() == DEV_KEY_FILE else infer_key_id(key_path, self.key)
        self.key_id = key_id

    def signature(self, data):
        return self.key.sign(data, padding.PKCS1v15(), hashes.SHA256())

    def envelope(self, payload, *, signed_bytes=None, url_safe_payload=False, extra_members=()):
        """The envelope text; the keyword arguments exist only to build broken test envelopes."""
        signature = self.signature(payload if signed_bytes is None else signed_bytes)
        encoded = b64(payload)
        if url_safe_payload:
            encoded = base64.urlsafe_b64encode(payload).decode("ascii").rstrip("=")
        members = [("keyId", self.key_id), ("payload", encoded), ("signature", b64(signature))]
        members += list(extra_members)
        return json.dumps(dict(members), ensure_ascii=False, separators=(",", ":")).encode("utf-8")

    def sign_document(self, document):
        return self.envelope(canonical_json(document))


def verify_envelope(text, key_set):
    """Python twin of the client's check, for the verify command and for tests."""
    envelope = json.loads(text)
    if not isinstance(envelope, dict) or len(envelope) != 3:
        raise PublishError("envelope is not an object of exactly three members")
    payload = base64.b64decode(envelope["payload"], validate=True)
    signature = base64.b64decode(envelope["signature"], validate=True)
    matches = [k for k in key_set if k["keyId"] == envelope["keyId"]]
    if not matches:
        raise PublishError(f"key {envelope['keyId']!r} is not in the key set")
    key = matches[-1]
    modulus = base64.b64decode(key["modulus"], validate=True)
    exponent = base64.b64decode(key["exponent"], validate=True)
    if not 384 <= len(modulus) <= 1024 or len(exponent) > 8:
        raise PublishError("key is too short or too long for the client")
    public = rsa.RSAPublicNumbers(int.from_bytes(exponent, "big"),
                                  int.from_bytes(modulus, "big")).public_key()
    try:
        public.verify(signature, payload, padding.PKCS1v15(), hashes.SHA256())
    except InvalidSignature:
        raise PublishError("signature does not match the payload") from None
    return payload


def envelope_payload(text):
    """The document inside an envelope, without checking the signature."""
    return json.loads(base64.b64decode(json.loads(text)["payload"]))


# ---------------------------------------------------------------------------------------------
# Package paths: the same rules the client applies to every name in an archive or manifest

FORBIDDEN_PATH_CHARS = set('\\:*?<>|"\0')
RESERVED_NAMES = {"CON", "PRN", "AUX", "NUL", "CLOCK$", "CONIN$", "CONOUT$"}


def _is_digit_for_device(ch):
    # Windows counts more digits than ASCII for COM1/LPT1; refusing every Unicode digit is safe.
    return ch in "0123456789\u00b9\u00b2\u00b3" or (ord(ch) > 0xFF and ch.isdigit())


def archive_path_problem(path):
    """Why the client would refuse this package path, or None."""
    try:
        raw = path.encode("utf-8")
    except UnicodeEncodeError:
        return "not valid UTF-8"
    if not 1 <= len(raw) <= 240:
        return "empty or longer than 240 bytes"
    if any(ch in FORBIDDEN_PATH_CHARS for ch in path):
        return 'holds one of \\ : * ? < > | " or NUL'
    if path.startswith("/") or path.endswith("/"):
        return "begins or ends with /"
    for segment in path.split("/"):
        if segment in ("", ".", ".."):
            return "has an empty, . or .. segment"
        if len(segment.encode("utf-16-le")) // 2 > 255:
            return "has a segment longer than 255 characters"
        if segment[-1] in ". ":
            return "has a segment ending in a dot or blank"
        if any(ord(ch) < 32 or ord(ch) == 127 for ch in segment):
            return "holds a control character"
        base = "".join(chr(ord(c) - 32) if "a" <= c <= "z" else c for c in segment.split(".")[0])
        if base in RESERVED_NAMES or (len(base) == 4 and base[:3] in ("COM", "LPT")
                                      and _is_digit_for_device(base[3])):
            return "is a reserved Windows device name"
    return None


# ---------------------------------------------------------------------------------------------
# Releases


def parse_schema_triple(text, option):
    try:
        low, write, high = (int(part) for part in text.split(","))
    except ValueError:
        raise PublishError(f"{option} wants MIN,WRITE,MAX, got {text!r}") from None
    if not 1 <= low <= write <= high or high > 2**31 - 1:
        raise PublishError(f"{option} must satisfy 1 <= MIN <= WRITE <= MAX, got {text!r}")
    return low, write, high


def parse_three_part_version(text, option):
    match = THREE_PART_VERSION_RE.match(text)
    if not match or any(int(part) > 65535 for part in match.groups()):
        raise PublishError(f"{option} must be major.minor.patch (each 0..65535), got {text!r}")
    return tuple(int(part) for part in match.groups())


def collect_tree(folder):
    """All regular files below `folder` as (package path, full path, size), sorted by path bytes.

    Links are refused rather than followed: a link could pull files from outside the tree into
    a release, and the client refuses links in archives anyway.
    """
    found = []
    pending = [(Path(folder), "")]
    while pending:
        directory, prefix = pending.pop()
        with os.scandir(directory) as entries:
            for entry in entries:
                name = prefix + entry.name
                if entry.is_symlink():
                    raise PublishError(f"program folder holds a link: {name}")
                if entry.is_dir(follow_symlinks=False):
                    pending.append((Path(entry.path), name + "/"))
                elif entry.is_file(follow_symlinks=False):
                    found.append((name, Path(entry.path), entry.stat(follow_symlinks=False).st_size))
                else:
                    raise PublishError(f"program folder holds something that is no file: {name}")
    found.sort(key=lambda item: item[0].encode("utf-8", "surrogateescape"))
    return found


def check_tree(paths, complain):
    """The package rules that the client applies to a manifest's file list."""
    keys = {}
    for path in paths:
        problem = archive_path_problem(path)
        if problem:
            complain(f"package path {path!r} {problem}")
        key = path.lower()
        if key in keys:
            complain(f"package paths {keys[key]!r} and {path!r} differ only in letter case")
        keys.setdefault(key, path)
    for key, path in keys.items():
        position = key.find("/")
        while position != -1:
            if key[:position] in keys:
                complain(f"{keys[key[:position]]!r} is a file and also the folder of {path!r}")
            position = key.find("/", position + 1)
    if "apptessaro.exe" not in keys:
        complain("the program folder has no appTESSARO.exe at its top level")
    if len(paths) > MAX_FILES:
        complain(f"a package may hold at most {MAX_FILES} files, this one has {len(paths)}")


def delivery_manifest_for(tree, build_id, engine, complain):
    """The engine to publish and, when the tree has no delivery manifest, one to add.

    The client compares buildId and engine of the tree's delivery-manifest.json with the signed
    manifest, so a tree that already has one decides the default engine and must agree.
    """
    for path, full, _ in tree:
        if path.lower() != "delivery-manifest.json":
            continue
        try:
            existing = json.loads(full.read_bytes())
        except ValueError as error:
            complain(f"{path} is not JSON: {error}")
            existing = {}
        if not isinstance(existing, dict):
            complain(f"{path} is not a JSON object")
            existing = {}
        if engine is None:
            engine = existing.get("engine")
        if not isinstance(engine, str):
            raise PublishError(f"{path} names no engine text; give --engine")
        if existing.get("buildId") != build_id or existing.get("engine") != engine:
            complain(f"{path} names buildId {existing.get('buildId')!r} and engine "
                     f"{existing.get('engine')!r}; the release has {build_id!r} and {engine!r}")
        return engine, None
    engine = engine if engine is not None else "tessaro-desktop"
    return engine, canonical_json({"buildId": build_id, "engine": engine})


def zip_info(name, size):
    info = zipfile.ZipInfo(name, date_time=ZIP_TIMESTAMP)
    info.compress_type = zipfile.ZIP_DEFLATED
    info.create_system = 3
    info.external_attr = (stat.S_IFREG | 0o644) << 16
    info.file_size = size
    return info


def write_artifact(target, entries):
    """Write the release ZIP, streaming each file once for both compression and hashing.

    `entries` holds (package path, full path or None, size, bytes or None). Returns the manifest's
    file entries in archive order.
    """
    files = []
    with zipfile.ZipFile(target, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6,
                         allowZip64=True) as archive:
        for name, full, size, data in entries:
            digest = hashlib.sha256()
            written = 0
            with archive.open(zip_info(name, size), "w") as sink:
                if data is not None:
                    sink.write(data)
                    digest.update(data)
                    written = len(data)
                else:
                    with open(full, "rb") as source:
                        while block := source.read(COPY_BLOCK):
                            sink.write(block)
                            digest.update(block)
                            written += len(block)
            if written != size:
                raise PublishError(f"{name} changed while it was packed ({size} -> {written} bytes)")
            files.append({"path": name, "sha256": digest.hexdigest(), "size": size})
    return files


def release_documents(args, release_id, files, artifact_sha, artifact_size):
    profile = parse_schema_triple(args.profile_schema, "--profile-schema")
    project = parse_schema_triple(args.project_schema, "--project-schema")
    return {
        "artifact": {"artifactId": release_id, "fileCount": len(files), "sha256": artifact_sha,
                     "size": artifact_size, "unpackedSize": sum(f["size"] for f in files)},
        "authenticodePolicy": args.authenticode_policy,
        "buildId": args.build_id,
        "channel": args.channel,
        "compatibility": {
            "engine": args.engine,
            "minLauncherVersion": args.min_launcher_version,
            "minWindowsBuild": args.min_windows_build,
            "profileSchemaMin": profile[0], "profileSchemaWrite": profile[1],
            "profileSchemaMax": profile[2],
            "projectSchemaMin": project[0], "projectSchemaWrite": project[1],
            "projectSchemaMax": project[2],
        },
        "files": files,
        "platform": "win-x64",
        "product": "tessaro",
        "releaseId": release_id,
        "schemaVersion": 1,
        "testOnly": args.test_only,
        "version": args.version,
    }


def publish_directory(final, build, force):
    """Build a release folder beside its final place and move it there in one rename."""
    final = Path(final)
    final.parent.mkdir(parents=True, exist_ok=True)
    if final.exists() and not force:
        raise PublishError(f"{final} exists; a published release must not change under its id "
                           "(use --force to replace it anyway)")
    work = Path(tempfile.mkdtemp(prefix="." + final.name + ".", dir=final.parent))
    try:
        build(work)
        os.chmod(work, 0o755)
        if final.exists():
            old = final.parent / ("." + final.name + ".old-" + secrets.token_hex(8))
            os.replace(final, old)
            os.replace(work, final)
            shutil.rmtree(old)
        else:
            os.replace(work, final)
    finally:
        if work.exists():
            shutil.rmtree(work)


def command_release(args):
    signer = Signer(args.key, args.key_id)
    release_id = args.release_id or str(uuid.uuid4())
    if not UUID_RE.match(release_id):
        raise PublishError(f"--release-id {release_id!r} is not a 36-character UUID")
    if parse_three_part_version(args.min_launcher_version, "--min-launcher-version") > LAUNCHER_VERSION:
        warn(f"launcher 1.0.2 refuses releases that need launcher {args.min_launcher_version}")
    if args.min_windows_build <= 0:
        raise PublishError("--min-windows-build must be greater than 0")
    folder = Path(args.source)
    if not folder.is_dir():
        raise PublishError(f"{folder} is not a folder")

    def complain(text):
        if not args.unchecked:
            raise PublishError(text)
        warn(text)

    tree = collect_tree(folder)
    for path, _, _ in tree:
        try:
            path.encode("utf-8")
        except UnicodeEncodeError:
            raise PublishError(f"file name {path!r} in the program folder is not UTF-8") from None
    engine, generated = delivery_manifest_for(tree, args.build_id, args.engine, complain)
    args.engine = engine
    entries = [(path, full, size, None) for path, full, size in tree]
    if generated is not None:
        entries.append(("delivery-manifest.json", None, len(generated), generated))
        entries.sort(key=lambda item: item[0].encode("utf-8", "surrogateescape"))
    check_tree([entry[0] for entry in entries], complain)
    if not entries:
        raise PublishError("the program folder holds no files")
    unpacked = sum(entry[2] for entry in entries)
    if unpacked > MAX_UNPACKED_SIZE:
        complain(f"unpacked size {unpacked} exceeds the client's limit of {MAX_UNPACKED_SIZE}")

    record = {}

    def build(work):
        artifact = work / "artifact.zip"
        files = write_artifact(artifact, entries)
        artifact_size = artifact.stat().st_size
        if artifact_size > MAX_ARTIFACT_SIZE:
            complain(f"archive size {artifact_size} exceeds the client's limit of {MAX_ARTIFACT_SIZE}")
        artifact_sha = sha256_file(artifact)
        document = release_documents(args, release_id, files, artifact_sha, artifact_size)
        apply_overrides(document, args.override, args.remove)
        envelope = signer.sign_document(document)
        write_atomically(work / "manifest.json", envelope)
        record.update({"releaseId": release_id, "channel": args.channel, "version": args.version,
                       "buildId": args.build_id, "manifestSha256": sha256_hex(envelope),
                       "artifactSha256": artifact_sha, "artifactSize": artifact_size})
        write_atomically(work / "release.json",
                         json.dumps(record, ensure_ascii=False, separators=(",", ":")).encode("utf-8"))

    publish_directory(Path(args.data) / "releases" / release_id, build, args.force)
    print(release_id)


# ---------------------------------------------------------------------------------------------
# Catalogs


def version_sort_key(text):
    return [(0, int(part), "") if part.isdigit() else (1, 0, part)
            for part in re.findall(r"\d+|[^\d]+", str(text))]


def read_releases(data):
    """release.json of every published release, keyed by id."""
    found = {}
    releases = Path(data) / "releases"
    if not releases.is_dir():
        return found
    for folder in sorted(releases.iterdir()):
        record_path = folder / "release.json"
        if folder.name.startswith(".") or not record_path.is_file():
            continue
        try:
            record = json.loads(record_path.read_bytes())
            found[record["releaseId"]] = record
        except (ValueError, KeyError, TypeError):
            raise PublishError(f"{record_path} is not a release record") from None
        record["_folder"] = folder
    return found


def catalog_entry(record, catalog_test_only):
    folder = record["_folder"]
    envelope = (folder / "manifest.json").read_bytes()
    # The portal serves manifest.json as it is now, so the catalog must pin that text.
    manifest_sha = sha256_hex(envelope)
    if manifest_sha != record["manifestSha256"]:
        warn(f"{folder.name}: manifest.json changed since it was published; the catalog pins "
             "the current file")
    if envelope_payload(envelope).get("testOnly") is True and not catalog_test_only:
        warn(f"{folder.name} is a test package; clients will refuse to install it")
    artifact = folder / "artifact.zip"
    if not artifact.is_file() or artifact.stat().st_size != record["artifactSize"]:
        warn(f"{folder.name}: artifact.zip is missing or differs from release.json")
    return {"artifactId": record["releaseId"], "buildId": record["buildId"],
            "manifestSha256": manifest_sha, "releaseId": record["releaseId"],
            "version": record["version"]}


def previous_generation(path):
    try:
        return int(envelope_payload(Path(path).read_bytes())["generation"])
    except FileNotFoundError:
        return 0
    except (ValueError, KeyError, TypeError):
        warn(f"{path} cannot be read; its generation is ignored")
        return 0


def command_catalog(args):
    signer = Signer(args.key, args.key_id)
    data = Path(args.data)
    target = data / "catalogs" / f"{args.channel}.json"
    records = read_releases(data)
    if args.release:
        missing = [rid for rid in args.release if rid not in records]
        if missing:
            raise PublishError(f"no published release {', '.join(missing)} in {data}")
        chosen = [records[rid] for rid in dict.fromkeys(args.release)]
        for record in chosen:
            if record["channel"] != args.channel:
                warn(f"{record['releaseId']} is a {record['channel']} release in the "
                     f"{args.channel} catalog")
    else:
        channels = {args.channel}
        if args.include_stable:
            channels.add("stable")
        chosen = [r for r in records.values() if r["channel"] in channels]
        chosen.sort(key=lambda r: r["releaseId"])
        chosen.sort(key=lambda r: version_sort_key(r["version"]), reverse=True)
    if len(chosen) > MAX_CATALOG_ENTRIES:
        raise PublishError(f"a catalog may list at most {MAX_CATALOG_ENTRIES} releases")
    entries = [catalog_entry(record, args.test_only) for record in chosen]
    if args.recommended and args.recommended not in [e["releaseId"] for e in entries]:
        raise PublishError(f"--recommended {args.recommended} is not listed in this catalog")

    previous = previous_generation(target)
    generation = args.generation if args.generation is not None else previous + 1
    if generation < 1:
        raise PublishError("--generation must be at least 1")
    if generation <= previous and not args.force:
        raise PublishError(f"{target} already has generation {previous}; clients refuse a lower "
                           "one and a changed catalog under the same one (use --force to write "
                           "it anyway)")

    issued_text = args.issued_at or utc_text(datetime.datetime.now(datetime.timezone.utc))
    issued = parse_utc_text(issued_text)
    if args.expires_at:
        expires_text = args.expires_at
    else:
        expires_text = utc_text(datetime.datetime.fromtimestamp(issued + args.valid_seconds,
                                                                datetime.timezone.utc))
    expires = parse_utc_text(expires_text)
    if not 0 < expires - issued <= MAX_CATALOG_WINDOW:
        raise PublishError(f"the validity window must be 1 to {MAX_CATALOG_WINDOW} seconds, "
                           f"it is {expires - issued}")
    now = datetime.datetime.now(datetime.timezone.utc).timestamp()
    if expires <= now:
        warn("this catalog has already expired; clients will refuse it")
    if issued > now + 300:
        warn("this catalog is issued more than five minutes in the future; clients refuse it now")

    document = {"channel": args.channel, "expiresAt": expires_text, "generation": generation,
                "issuedAt": issued_text, "platform": "win-x64", "product": "tessaro",
                "releases": entries, "schemaVersion": 1, "testOnly": args.test_only}
    if args.recommended:
        document["recommendedReleaseId"] = args.recommended
    apply_overrides(document, args.override, args.remove)
    write_atomically(target, signer.sign_document(document))
    print(f"{target} generation {generation}, {len(entries)} releases")


# ---------------------------------------------------------------------------------------------
# Launcher release


def command_launcher(args):
    signer = Signer(args.key, args.key_id)
    release_id = args.release_id or str(uuid.uuid4())
    if not UUID_RE.match(release_id):
        raise PublishError(f"--release-id {release_id!r} is not a 36-character UUID")
    parse_three_part_version(args.version, "--version")
    if not LAUNCHER_BUILD_RE.match(args.build_id):
        raise PublishError("--build-id must be 1 to 100 characters of A-Z a-z 0-9 . _ -")
    exe = Path(args.exe)
    if not exe.is_file():
        raise PublishError(f"{exe} is not a file")

    folder = Path(args.data) / "launcher"
    folder.mkdir(parents=True, exist_ok=True)
    fd, temp = tempfile.mkstemp(prefix=".TESSARO-Setup.exe.", dir=folder)
    try:
        # Hash what is copied, not the source afterwards: the two may differ if it is rebuilt.
        digest, size = hashlib.sha256(), 0
        with os.fdopen(fd, "wb") as sink, open(exe, "rb") as source:
            while block := source.read(COPY_BLOCK):
                sink.write(block)
                digest.update(block)
                size += len(block)
            sink.flush()
            os.fsync(sink.fileno())
        if not 1 <= size <= MAX_LAUNCHER_SIZE:
            raise PublishError(f"a launcher must have 1 to {MAX_LAUNCHER_SIZE} bytes, {exe} has {size}")
        sha = digest.hexdigest()
        document = {
            "artifact": {"artifactId": release_id, "fileCount": 1, "sha256": sha, "size": size,
                         "unpackedSize": size},
            "authenticodePolicy": args.authenticode_policy,
            "buildId": args.build_id,
            "channel": "stable",
            "files": [{"path": "TESSARO-Setup.exe", "sha256": sha, "size": size}],
            "kind": "bootstrapper",
            "platform": "win-x64",
            "product": "tessaro",
            "releaseId": release_id,
            "schemaVersion": 1,
            "testOnly": False,
            "version": args.version,
        }
        apply_overrides(document, args.override, args.remove)
        envelope = signer.sign_document(document)
        os.chmod(temp, 0o755)
        os.replace(temp, folder / "TESSARO-Setup.exe")
    except BaseException:
        if os.path.exists(temp):
            os.unlink(temp)
        raise
    write_atomically(folder / "manifest.json", envelope)
    print(release_id)


# ---------------------------------------------------------------------------------------------
# Keys, signing and checking


def command_keygen(args):
    if not 2048 <= args.bits <= 16384 or args.bits % 8:
        raise PublishError("--bits must be a multiple of 8 from 2048 to 16384")
    if not 3072 <= args.bits <= 8192:
        warn("clients accept only keys of 3072 to 8192 bits; this key is for refusal tests")
    name = args.name or re.sub(r"-\d+$", "", args.key_id)
    out = Path(args.out)
    private_path = out / f"{name}-private-key.pem"
    keys_path = out / f"{name}-trust-keys.json"
    for path in (private_path, keys_path):
        if path.exists() and not args.force:
            raise PublishError(f"{path} exists; a lost private key cannot be recovered "
                               "(use --force to replace it)")
    key = rsa.generate_private_key(public_exponent=65537, key_size=args.bits)
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    write_atomically(private_path, pem, mode=0o600)
    write_atomically(keys_path, key_set_text(key.public_key(), args.key_id))
    print(private_path)
    print(keys_path)


def command_sign(args):
    signer = Signer(args.key, args.key_id)
    payload = Path(args.input).read_bytes()
    extra = [parse_override(text) for text in args.broken_extra_member]
    signed = Path(args.broken_sign_other_bytes).read_bytes() if args.broken_sign_other_bytes else None
    envelope = signer.envelope(payload, signed_bytes=signed, url_safe_payload=args.broken_base64url,
                               extra_members=extra)
    write_atomically(args.output, envelope)


def command_verify(args):
    key_set = json.loads(Path(args.keys).read_bytes()) if args.keys else \
        json.loads((DEV_KEY_DIR / "development-only-trust-keys.json").read_bytes())
    payload = verify_envelope(Path(args.input).read_bytes(), key_set)
    sys.stdout.buffer.write(payload)
    sys.stdout.buffer.write(b"\n")


# ---------------------------------------------------------------------------------------------
# Command line


def add_key_options(parser):
    parser.add_argument("--key", help="PKCS#8 PEM private key (default: the development key in "
                        "tools/dev-keys)")
    parser.add_argument("--key-id", help="key identifier in the envelope (default: "
                        f"{DEV_KEY_ID!r} for the development key, else read from a "
                        "*-trust-keys.json beside --key)")


def add_document_test_options(parser):
    group = parser.add_argument_group("deliberately wrong documents (tests only)")
    group.add_argument("--override", metavar="PATH=JSON", action="append", default=[],
                       type=parse_override, help="set a member of the signed document after all "
                       "checks; PATH is dotted with array indexes, e.g. compatibility.engine or "
                       "releases.0.version; repeatable")
    group.add_argument("--remove", metavar="PATH", action="append", default=[],
                       help="delete a member of the signed document after all checks; repeatable")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tessaro_publish.py",
        description="Publish TESSARO releases into a portal data folder: keys, signed envelopes "
                    "(RSA PKCS#1 v1.5, SHA-256), release archives with their manifests, channel "
                    "catalogs and the launcher release.",
        epilog="Run '<command> --help' for the options of one command.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="command")

    p = commands.add_parser("keygen", help="make an RSA key pair and its trust-key file",
                            description="Write NAME-private-key.pem (PKCS#8 PEM, owner-only) and "
                            "NAME-trust-keys.json (the key set text the launcher embeds).")
    p.add_argument("--out", required=True, help="folder for the two files")
    p.add_argument("--key-id", default=DEV_KEY_ID, help=f"key identifier (default {DEV_KEY_ID})")
    p.add_argument("--bits", type=int, default=3072, help="modulus size (default 3072)")
    p.add_argument("--name", help="file name prefix (default: the key id without a trailing -NUMBER)")
    p.add_argument("--force", action="store_true", help="replace existing key files")
    p.set_defaults(run=command_keygen)

    p = commands.add_parser("sign", help="sign any payload bytes into an envelope",
                            description="Wrap the payload bytes, unchanged, into a signed envelope "
                            '{"keyId","payload","signature"} (compact, no trailing newline).')
    add_key_options(p)
    p.add_argument("--in", dest="input", required=True, help="payload file (signed as it is)")
    p.add_argument("--out", dest="output", required=True, help="envelope file to write")
    group = p.add_argument_group("deliberately broken envelopes (tests only)")
    group.add_argument("--broken-extra-member", metavar="NAME=JSON", action="append", default=[],
                       help="add a further envelope member; repeatable")
    group.add_argument("--broken-sign-other-bytes", metavar="FILE",
                       help="sign the bytes of FILE but carry the --in payload")
    group.add_argument("--broken-base64url", action="store_true",
                       help="encode the payload in base64url without padding")
    p.set_defaults(run=command_sign)

    p = commands.add_parser("verify", help="check an envelope and print its payload",
                            description="Check an envelope as the launcher does and print the "
                            "payload bytes.")
    p.add_argument("--in", dest="input", required=True, help="envelope file")
    p.add_argument("--keys", help="key set file (default: the development trust keys)")
    p.set_defaults(run=command_verify)

    p = commands.add_parser("release", help="package a program folder as a release",
                            description="Pack FOLDER into DATA/releases/ID/artifact.zip, sign its "
                            "manifest into manifest.json and write release.json. Prints the "
                            "release id.")
    add_key_options(p)
    p.add_argument("--data", required=True, help="portal data folder")
    p.add_argument("--from", dest="source", required=True, metavar="FOLDER",
                   help="program folder; must hold appTESSARO.exe")
    p.add_argument("--release-id", help="release UUID (default: a random one)")
    p.add_argument("--channel", required=True, choices=["stable", "snapshot"])
    p.add_argument("--version", required=True, help="version text shown to users")
    p.add_argument("--build-id", required=True, help="build identifier")
    p.add_argument("--engine", help="engine text (default: the folder's delivery-manifest.json, "
                   "else 'tessaro-desktop')")
    p.add_argument("--authenticode-policy", choices=["required", "unsigned"], default="required",
                   help="whether the main executables must carry publisher signatures "
                   "(default required)")
    p.add_argument("--test-only", action="store_true", help="mark as a test package")
    p.add_argument("--min-launcher-version", default="1.0.0", help="default 1.0.0")
    p.add_argument("--min-windows-build", type=int, default=10240, help="default 10240")
    p.add_argument("--profile-schema", default="1,1,1", metavar="MIN,WRITE,MAX",
                   help="default 1,1,1")
    p.add_argument("--project-schema", default="1,1,1", metavar="MIN,WRITE,MAX",
                   help="default 1,1,1")
    p.add_argument("--force", action="store_true", help="replace a release of the same id")
    p.add_argument("--unchecked", action="store_true", help="turn the package rule checks into "
                   "warnings (tests only)")
    add_document_test_options(p)
    p.set_defaults(run=command_release)

    p = commands.add_parser("catalog", help="sign the catalog of a channel",
                            description="Write DATA/catalogs/CHANNEL.json listing published "
                            "releases, newest version first.")
    add_key_options(p)
    p.add_argument("--data", required=True, help="portal data folder")
    p.add_argument("--channel", required=True, choices=["stable", "snapshot"])
    p.add_argument("--generation", type=int, help="catalog generation (default: one above the "
                   "current catalog's, or 1)")
    p.add_argument("--issued-at", help="UTC date YYYY-MM-DDTHH:MM:SSZ (default: now)")
    window = p.add_mutually_exclusive_group()
    window.add_argument("--expires-at", help="UTC date (default: issued + --valid-seconds)")
    window.add_argument("--valid-seconds", type=int, default=MAX_CATALOG_WINDOW,
                        help=f"validity window (default and maximum {MAX_CATALOG_WINDOW})")
    p.add_argument("--recommended", metavar="UUID", help="release to mark as recommended")
    p.add_argument("--release", metavar="UUID", nargs="+", help="list exactly these releases, "
                   "in this order (default: every release of the channel)")
    p.add_argument("--include-stable", action="store_true", help="by default also list stable "
                   "releases in the snapshot catalog")
    p.add_argument("--test-only", action="store_true", help="mark as a test catalog")
    p.add_argument("--force", action="store_true", help="allow a generation that is not above "
                   "the current catalog's")
    add_document_test_options(p)
    p.set_defaults(run=command_catalog)

    p = commands.add_parser("launcher", help="publish a launcher executable",
                            description="Copy the executable to DATA/launcher/TESSARO-Setup.exe "
                            "and sign its launcher release into DATA/launcher/manifest.json. "
                            "Prints the release id.")
    add_key_options(p)
    p.add_argument("--data", required=True, help="portal data folder")
    p.add_argument("--exe", required=True, help="launcher executable (at most 10 MiB)")
    p.add_argument("--version", required=True, help="major.minor.patch, e.g. 1.0.2")
    p.add_argument("--build-id", required=True, help="1 to 100 of A-Z a-z 0-9 . _ -")
    p.add_argument("--release-id", help="release UUID (default: a random one)")
    p.add_argument("--authenticode-policy", choices=["required", "unsigned"], default="required",
                   help="default required")
    add_document_test_options(p)
    p.set_defaults(run=command_launcher)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    try:
        args.run(args)
    except PublishError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
