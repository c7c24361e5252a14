#!/usr/bin/python3
"""Write the envelopes the trust tests verify, all made by the publisher tool itself.

Good envelopes, deliberately broken ones (the tool's --broken-* switches), envelopes signed by freshly
generated 2048- and 4096-bit keys together with their key set files, and a published release, catalog
and launcher release in OUT/portal. The C++ tests read them from OUT; nothing here imitates the tool.
"""

import argparse
import base64
import contextlib
import importlib
import io
import json
import shutil
import sys
from pathlib import Path

RELEASE_ID = "0f8fad5b-d9cb-469f-a165-70867728950e"
LAUNCHER_RELEASE_ID = "7C9E6679-7425-40DE-944B-E07FC1F90AE7"
SOURCE = Path(__file__).resolve().parents[2]


def load_tool():
    # The tool runs in this process through its own command line: one interpreter start instead of
    # one per document, which matters on a loaded machine.
    sys.path.insert(0, str(SOURCE / "tools" / "publisher"))
    return importlib.import_module("tessaro_publish")


TOOL = load_tool()

# Compact, key-ordered, non-ASCII kept: the form of every signed document. The "~~~" and "???" runs
# put "+" and "/" into the standard Base64 text, so its base64url form is certainly different.
PAYLOAD = {
    "channel": "stable",
    "generation": 7,
    "note": "Prüfung ~~~ ??? ~~~",
    "product": "tessaro",
}


def publish(*args):
    argv = [str(a) for a in args]
    with contextlib.redirect_stdout(io.StringIO()):
        code = TOOL.main(argv)
    if code != 0:
        raise SystemExit(f"tessaro_publish.py {' '.join(argv)} failed")


def write(path, data):
    path.write_bytes(data)
    return path


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True, type=Path, help="folder to (re)create with the fixtures")
    out = parser.parse_args().out
    # Generated key pairs are kept from an earlier run (a 4096-bit key takes seconds); every envelope
    # and document is made anew.
    keys = out / "keys"
    for old in out.glob("*"):
        if old != keys:
            shutil.rmtree(old) if old.is_dir() else old.unlink()
    keys.mkdir(parents=True, exist_ok=True)

    payload_bytes = json.dumps(PAYLOAD, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode()
    standard = base64.b64encode(payload_bytes).decode()
    if "+" not in standard or "/" not in standard:
        raise SystemExit("the payload must put '+' and '/' into its Base64 text")
    payload = write(out / "payload.json", payload_bytes)
    changed = bytearray(payload_bytes)
    changed[payload_bytes.index(b"7")] = ord("8")
    one_byte = write(out / "payload-one-byte.json", bytes(changed))
    spaced = write(out / "payload-spaced.json",
                   json.dumps(PAYLOAD, ensure_ascii=False, indent=1, sort_keys=True).encode())

    publish("sign", "--in", payload, "--out", out / "valid.json")
    publish("sign", "--in", one_byte, "--broken-sign-other-bytes", payload, "--out", out / "one-byte.json")
    publish("sign", "--in", spaced, "--broken-sign-other-bytes", payload, "--out", out / "spaced.json")
    publish("sign", "--in", payload, "--broken-extra-member", 'comment="x"', "--out", out / "fourth-member.json")
    publish("sign", "--in", payload, "--broken-base64url", "--out", out / "base64url.json")
    publish("sign", "--in", payload, "--key-id", "Development-Only-2026", "--out", out / "keyid-case.json")
    publish("sign", "--in", payload, "--key-id", "release-signing-2026", "--out", out / "keyid-unknown.json")

    for bits in (2048, 4096):
        name = f"rsa-{bits}"
        if not (keys / f"{name}-trust-keys.json").exists():
            publish("keygen", "--out", keys, "--key-id", f"test-{bits}", "--bits", bits, "--name", name, "--force")
        shutil.copyfile(keys / f"{name}-trust-keys.json", out / f"{name}-trust-keys.json")
        publish("sign", "--key", keys / f"{name}-private-key.pem", "--in", payload, "--out", out / f"{name}.json")

    app = out / "app"
    (app / "data").mkdir(parents=True)
    write(app / "appTESSARO.exe", b"MZ not a real program")
    write(app / "data" / "Daten.bin", bytes(range(256)) * 3)
    portal = out / "portal"
    publish("release", "--data", portal, "--from", app, "--release-id", RELEASE_ID, "--channel", "stable",
            "--version", "2.4.0", "--build-id", "2.4.0.118", "--authenticode-policy", "unsigned")
    publish("catalog", "--data", portal, "--channel", "stable")
    publish("launcher", "--data", portal, "--exe", app / "appTESSARO.exe", "--version", "1.0.2",
            "--build-id", "1.0.2-dev", "--release-id", LAUNCHER_RELEASE_ID)


if __name__ == "__main__":
    main()
