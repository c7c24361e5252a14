#!/usr/bin/python3
"""A launcher whose key set file holds an empty array must fail its self-test and write nothing.

Runs EXE (the launcher variant built with tests/trust/empty-trust-keys.json) with --launcher-selftest
under Wine in BUILD's prefix: the error box "TESSARO Installer" must say "Vertrauensanker fehlt.", the
exit code must be 1, and the answer folder must stay empty.

Runs with Debian's /usr/bin/python3; needs a display (DISPLAY) for the message box.
"""

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path, PureWindowsPath

EXPECTED_TEXT = "Vertrauensanker fehlt."
CAPTION = "TESSARO Installer"


def windows_path(path):
    # Wine shows the host root as Z:.
    return str(PureWindowsPath("Z:\\", *path.resolve().parts[1:]))


def check(args):
    exe = args.exe
    wine_run = args.build / "wine-run.sh"
    reader = args.build / "bin" / "msgbox_reader_tool.exe"
    answers = exe.parent.parent / "selftest-answers"
    shutil.rmtree(answers, ignore_errors=True)
    answers.mkdir(parents=True)
    answer = answers / "answer.json"

    quiet = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    launcher = subprocess.Popen([wine_run, exe, "--launcher-selftest", windows_path(answer)], **quiet)
    try:
        box = subprocess.run([wine_run, reader, CAPTION, "60000"], stdin=subprocess.DEVNULL,
                             capture_output=True, timeout=120)
        exit_code = launcher.wait(timeout=60)
    finally:
        if launcher.poll() is None:
            launcher.kill()
            launcher.wait()

    failures = []
    text = box.stdout.decode("utf-8", "replace").rstrip("\r\n")
    if box.returncode != 0 or text != EXPECTED_TEXT:
        failures.append(f"message box {CAPTION!r}: {text!r} (reader exit {box.returncode}, "
                        f"{box.stderr.decode(errors='replace').strip()!r}), expected {EXPECTED_TEXT!r}")
    if exit_code != 1:
        failures.append(f"exit code {exit_code}, expected 1")
    left = sorted(p.name for p in answers.iterdir())
    if left:
        failures.append(f"files written into the answer folder: {left}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--exe", required=True, type=Path, help="the launcher with the empty key set")
    parser.add_argument("--build", required=True, type=Path, help="the main build folder (prefix, tools)")
    args = parser.parse_args()
    args.exe = args.exe.resolve()
    args.build = args.build.resolve()
    os.environ.setdefault("WINEDEBUG", "-all")
    return check(args)


if __name__ == "__main__":
    sys.exit(main())
