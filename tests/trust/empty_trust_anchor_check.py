#!/usr/bin/python3
"""A launcher whose key set file holds an empty array must fail its self-test and write nothing.

  build  configure and build TESSARO.exe alone in BUILD/trust-empty-keys with the key set file
         tests/trust/empty-trust-keys.json (the key set is compiled in, so it needs its own build;
         later runs only rebuild what changed)
  check  run that TESSARO.exe --launcher-selftest under Wine in BUILD's prefix: the error box
         "TESSARO Installer" must say "Vertrauensanker fehlt.", the exit code must be 1, and the
         answer folder must stay empty

Runs with Debian's /usr/bin/python3; check needs a display (DISPLAY) for the message box.
"""

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path, PureWindowsPath

EXPECTED_TEXT = "Vertrauensanker fehlt."
CAPTION = "TESSARO Installer"


def sub_build(build):
    return build / "trust-empty-keys"


def windows_path(path):
    # Wine shows the host root as Z:.
    return str(PureWindowsPath("Z:\\", *path.resolve().parts[1:]))


def build_command(args):
    target = sub_build(args.build)
    keys = args.source / "tests" / "trust" / "empty-trust-keys.json"
    if not (target / "build.ninja").exists():
        subprocess.run(["cmake", "-S", args.source, "-B", target, "-G", "Ninja",
                        "--toolchain", args.source / "cmake" / "mingw-w64-x86_64.cmake",
                        "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF", "-DTESSARO_DEVELOPMENT_BUILD=ON",
                        f"-DTESSARO_TRUST_KEYS_FILE={keys}"], check=True, stdin=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", target, "--target", "TESSARO", "-j", "2"], check=True,
                   stdin=subprocess.DEVNULL)
    return 0


def check_command(args):
    exe = sub_build(args.build) / "bin" / "TESSARO.exe"
    wine_run = args.build / "wine-run.sh"
    reader = args.build / "bin" / "msgbox_reader_tool.exe"
    answers = sub_build(args.build) / "selftest-answers"
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
    parser.add_argument("--source", required=True, type=Path, help="the repository")
    parser.add_argument("--build", required=True, type=Path, help="the main build folder (prefix, tools)")
    parser.add_argument("command", choices=["build", "check"])
    args = parser.parse_args()
    args.source = args.source.resolve()
    args.build = args.build.resolve()
    os.environ.setdefault("WINEDEBUG", "-all")
    return build_command(args) if args.command == "build" else check_command(args)


if __name__ == "__main__":
    sys.exit(main())
