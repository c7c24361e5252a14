#!/usr/bin/python3
"""Releases of the test application for the install end-to-end tests, added to a portal data folder.

    make_e2e_portal_data.py --app APP_EXE --cache DIR DATA

Publishes (once per change of APP_EXE or this script, kept in DIR) the releases listed in RELEASES,
copies them into DATA/releases, and writes DATA/catalogs/stable.e2e.json: a stable catalog of
exactly these releases that the tests select with the portal's fault {"fault":"catalog",
"variant":"e2e"}, so the portal's own catalogs stay as the other tests expect them. Afterwards the
"mismatch" release's manifest.json in DATA is changed in its signature, so that it neither matches
the catalog's hash nor verifies.

DIR/index.json maps each release name to its id, version, build id and program tree (DIR/trees/NAME,
the folder the release was built from); for the "update-" releases also "entries": each package path's
first and last archive byte, from its local header up to the next header. DIR/free-space-bytes holds archive size + unpacked size of
the "free-space" release, a multiple of 4096 (a tmpfs can offer exactly that plus 128 MiB).
"""

import argparse
import base64
import hashlib
import json
import random
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools" / "publisher"))
import tessaro_publish  # noqa: E402
PUBLISH = [sys.executable, str(ROOT / "tools" / "publisher" / "tessaro_publish.py")]
PAGE = 4096

# name, release id, version, build id, behaviour of the test application, extra publisher options
RELEASES = [
    ("good", "e2e00000-0000-4000-8000-000000000001", "3.0.0", "3.0.0.1", {}, []),
    ("other", "e2e00000-0000-4000-8000-000000000002", "3.1.0", "3.1.0.1", {}, []),
    ("mismatch", "e2e00000-0000-4000-8000-000000000003", "3.2.0", "3.2.0.1", {}, []),
    ("wrong-version", "e2e00000-0000-4000-8000-000000000004", "3.3.0", "3.3.0.1", {},
     ["--override", 'version="9.9.9"']),
    ("wrong-build", "e2e00000-0000-4000-8000-000000000005", "3.4.0", "3.4.0.1", {},
     ["--override", 'buildId="3.4.0.999"']),
    ("wrong-release-id", "e2e00000-0000-4000-8000-000000000006", "3.5.0", "3.5.0.1", {},
     ["--override", 'releaseId="e2e00000-0000-4000-8000-0000000000ff"',
      "--override", 'artifact.artifactId="e2e00000-0000-4000-8000-0000000000ff"']),
    ("test-only", "e2e00000-0000-4000-8000-000000000007", "3.6.0", "3.6.0.1", {},
     ["--override", "testOnly=true"]),
    ("engine-mismatch", "e2e00000-0000-4000-8000-000000000008", "3.7.0", "3.7.0.1", {},
     ["--override", 'compatibility.engine="another-engine"']),
    ("signature-required", "e2e00000-0000-4000-8000-000000000009", "3.8.0", "3.8.0.1", {},
     ["--authenticode-policy", "required"]),
    ("free-space", "e2e00000-0000-4000-8000-00000000000a", "3.9.0", "3.9.0.1", {}, []),
    ("deep", "e2e00000-0000-4000-8000-00000000000b", "4.0.0", "4.0.0.1", {}, []),
    # An update of 50 files: "update-next" changes two of "update-base" (one data file and, as every
    # release does, the delivery manifest). The other two are "update-next" again with a defect.
    ("update-base", "e2e00000-0000-4000-8000-00000000000c", "5.0.0", "5.0.0.1", {}, []),
    ("update-next", "e2e00000-0000-4000-8000-00000000000d", "5.1.0", "5.1.0.1", {}, []),
    ("update-tampered", "e2e00000-0000-4000-8000-00000000000e", "5.2.0", "5.2.0.1", {}, []),
    ("update-prepended", "e2e00000-0000-4000-8000-00000000000f", "5.3.0", "5.3.0.1", {}, []),
]
UPDATE_DATA_FILES = 47
UPDATE_FILE_BYTES = 24 * 1024
UPDATE_CHANGED_FILE = "data/f20.bin"
# What a self-extracting stub would put before the archive: readers that trust the directory's offsets
# find nothing where they look.
PREPENDED_BYTES = b"MZ" + b"\0" * 4094
# A package path of 215 bytes (the limit is 240): installed, its full path exceeds 300 characters.
DEEP_FILE = "data/" + "d" * 100 + "/" + "e" * 100 + "/deep.bin"
# Large enough that a download takes several 1 MiB reads (cut, resume and cancel need that).
GOOD_PAYLOAD_BYTES = 3 * 1048576 + 12345


def publish(*arguments):
    subprocess.run(PUBLISH + list(arguments), check=True, stdout=subprocess.DEVNULL)


def payload_of(envelope_file):
    envelope = json.loads(Path(envelope_file).read_bytes())
    return json.loads(base64.b64decode(envelope["payload"]))


def make_tree(folder, app, behaviour, build_id):
    if folder.exists():
        shutil.rmtree(folder)
    folder.mkdir(parents=True)
    shutil.copyfile(app, folder / "appTESSARO.exe")
    (folder / "testapp-behaviour.json").write_text(json.dumps(behaviour, separators=(",", ":")))
    (folder / "delivery-manifest.json").write_text(
        json.dumps({"buildId": build_id, "engine": "tessaro-desktop"}, separators=(",", ":")))


def publish_release(data, tree, release_id, version, build_id, options):
    publish("release", "--data", str(data), "--from", str(tree), "--channel", "stable", "--version", version,
            "--build-id", build_id, "--release-id", release_id, "--engine", "tessaro-desktop",
            "--authenticode-policy", "unsigned", "--force", *options)
    folder = data / "releases" / release_id
    manifest = payload_of(folder / "manifest.json")
    return manifest["artifact"]["size"] + manifest["artifact"]["unpackedSize"]


def add_update_files(tree, name):
    for index in range(UPDATE_DATA_FILES):
        path = f"data/f{index:02d}.bin"
        seed = index + (1000 if name != "update-base" and path == UPDATE_CHANGED_FILE else 0)
        (tree / path).parent.mkdir(parents=True, exist_ok=True)
        (tree / path).write_bytes(random.Random(seed).randbytes(UPDATE_FILE_BYTES))


def resign(folder, change_document, change_archive=None):
    """Signs the release's manifest again after changing it (and, if asked, the archive it describes)."""
    archive = folder / "artifact.zip"
    if change_archive:
        archive.write_bytes(change_archive(archive.read_bytes()))
    data = archive.read_bytes()
    document = payload_of(folder / "manifest.json")
    document["artifact"].update({"sha256": hashlib.sha256(data).hexdigest(), "size": len(data)})
    change_document(document)
    envelope = tessaro_publish.Signer().sign_document(document)
    (folder / "manifest.json").write_bytes(envelope)
    record = json.loads((folder / "release.json").read_bytes())
    record.update({"manifestSha256": hashlib.sha256(envelope).hexdigest(),
                   "artifactSha256": document["artifact"]["sha256"], "artifactSize": len(data)})
    (folder / "release.json").write_text(json.dumps(record, separators=(",", ":")))


def spoil_release(folder, name):
    if name == "update-tampered":
        def other_hash(document):
            changed = next(f for f in document["files"] if f["path"] == UPDATE_CHANGED_FILE)
            changed["sha256"] = hashlib.sha256(b"not the archived content").hexdigest()
        resign(folder, other_hash)
    if name == "update-prepended":
        resign(folder, lambda document: None, lambda data: PREPENDED_BYTES + data)


def entry_spans(archive):
    """Package path -> [first, last] byte of its local header and data (up to the next header)."""
    with zipfile.ZipFile(archive) as zipped:
        infos = sorted(zipped.infolist(), key=lambda info: info.header_offset)
        ends = [info.header_offset for info in infos[1:]] + [zipped.start_dir]
        return {info.filename: [info.header_offset, end - 1] for info, end in zip(infos, ends)}


def publish_page_aligned(data, tree, release_id, version, build_id, options):
    """Pads the tree until archive size + unpacked size is a whole number of pages.

    Random padding grows both the archive and the tree by about one byte per byte (sum +2); a byte
    more of highly compressible text grows only the tree (sum +1) and fixes an odd remainder.
    """
    noise, text = 1000, 1000
    for _ in range(40):
        (tree / "pad-noise.bin").write_bytes(random.Random(noise).randbytes(noise))
        (tree / "pad-text.txt").write_bytes(b"a" * text)
        total = publish_release(data, tree, release_id, version, build_id, options)
        missing = (PAGE - total % PAGE) % PAGE
        if missing == 0:
            return total
        if missing % 2:
            text += 1
        else:
            noise += missing // 2
    raise SystemExit("make_e2e_portal_data.py: no page-aligned free-space release found")


def build_cache(cache, app):
    stamp = hashlib.sha256(Path(app).read_bytes() + Path(__file__).read_bytes()).hexdigest()
    if (cache / "stamp").is_file() and (cache / "stamp").read_text() == stamp:
        return
    if cache.exists():
        shutil.rmtree(cache)
    portal = cache / "portal"
    index = {}
    for name, release_id, version, build_id, behaviour, options in RELEASES:
        tree = cache / "trees" / name
        make_tree(tree, app, behaviour, build_id)
        if name == "good":
            (tree / "data").mkdir()
            (tree / "data" / "payload.bin").write_bytes(random.Random(7).randbytes(GOOD_PAYLOAD_BYTES))
        if name == "deep":
            (tree / DEEP_FILE).parent.mkdir(parents=True)
            (tree / DEEP_FILE).write_bytes(b"deep")
        if name.startswith("update-"):
            add_update_files(tree, name)
        if name == "free-space":
            total = publish_page_aligned(portal, tree, release_id, version, build_id, options)
            (cache / "free-space-bytes").write_text(str(total))
        else:
            publish_release(portal, tree, release_id, version, build_id, options)
        spoil_release(portal / "releases" / release_id, name)
        index[name] = {"releaseId": release_id, "version": version, "buildId": build_id, "tree": str(tree)}
        if name.startswith("update-"):
            index[name]["entries"] = entry_spans(portal / "releases" / release_id / "artifact.zip")
    (cache / "index.json").write_text(json.dumps(index, indent=2))
    (cache / "stamp").write_text(stamp)


def fill_data(cache, data):
    portal = cache / "portal"
    # A fresh catalog each time: its validity window starts now.
    publish("catalog", "--data", str(portal), "--channel", "stable", "--generation", "1", "--force",
            "--release", *[release[1] for release in RELEASES])
    (data / "catalogs").mkdir(parents=True, exist_ok=True)
    shutil.copyfile(portal / "catalogs" / "stable.json", data / "catalogs" / "stable.e2e.json")
    for release in RELEASES:
        target = data / "releases" / release[1]
        if target.exists():
            shutil.rmtree(target)
        shutil.copytree(portal / "releases" / release[1], target)
    mismatch = data / "releases" / next(r[1] for r in RELEASES if r[0] == "mismatch") / "manifest.json"
    envelope = json.loads(mismatch.read_bytes())
    signature = envelope["signature"]
    envelope["signature"] = ("B" if signature[0] == "A" else "A") + signature[1:]
    mismatch.write_text(json.dumps(envelope, separators=(",", ":")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--app", required=True, help="the test application (appTESSARO.exe)")
    parser.add_argument("--cache", required=True, help="folder that keeps the published releases")
    parser.add_argument("data", help="the portal data folder to add to")
    args = parser.parse_args()
    cache = Path(args.cache).resolve()
    build_cache(cache, Path(args.app).resolve())
    fill_data(cache, Path(args.data))


if __name__ == "__main__":
    main()
