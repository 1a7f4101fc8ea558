#!/usr/bin/env python3
"""Runs the conformance vectors through the trirotor tool.

    scripts/check_vectors.py TOOL [--vectors FILE] [--match TEXT]

Each vector of tests/data/vectors.jsonl is written to three UTF-8 files
(message, key, suffix; no trailing newline) and decoded with
    TOOL decode --raw --key-file KEY --suffix-file SUFFIX MESSAGE
What the tool must do:
  expect "text"   exit 0 for LastError 0, 4 for LastError 5 (checksum), both
                  with the plain bytes on stdout; exit 3 and no output for
                  LastError 33 (frame check)
  expect "error"  exit 5 and a line "error NUMBER in SOURCE: DESCRIPTION" on
                  stderr matching the vector's number, source and description
The tool may refuse an empty key up front (exit 2) and a message of fewer
than 4 characters (exit 3), in both cases writing nothing. Progress is not
visible through the tool and is not checked. Ends with "N passed, N failed".
"""

import argparse
import json
import pathlib
import re
import subprocess
import sys
import tempfile

DEFAULT_VECTORS = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "vectors.jsonl"
EXIT_STATUS = {0: 0, 5: 4, 33: 3}  # LastError -> the tool's exit status
REPORTED = re.compile(r"^error (-?\d+) in (.*?): (.*)$", re.M)


def refused_up_front(vector, status, out):
    """The tool's own refusals, made before the engine sees the input."""
    if out:
        return False
    if vector["key"] == "" and status == 2:
        return True
    return len(vector["message"].encode("utf-16-le")) < 8 and status == 3


def check_text(vector, status, out):
    problems = []
    want_status = EXIT_STATUS[vector["last_error"]]
    if status != want_status:
        problems.append(f"exit {status}, want {want_status} for LastError {vector['last_error']}")
    want = bytes.fromhex(vector["plain_hex"])
    if out != want:
        at = next((i for i, (a, b) in enumerate(zip(out, want)) if a != b), min(len(out), len(want)))
        problems.append(f"{len(out)} bytes out, want {len(want)}; first difference at byte {at}")
    return problems


def check_error(vector, status, err):
    if status != 5:
        return [f"exit {status}, want 5 for error {vector['error_number']}"]
    match = REPORTED.search(err.decode("utf-8", "replace"))
    if not match:
        return ['no "error NUMBER in SOURCE: DESCRIPTION" line on stderr']
    number, source, description = int(match.group(1)), match.group(2), match.group(3).rstrip("\r")
    problems = []
    for field, got in (("error_number", number), ("error_source", source), ("error_description", description)):
        if vector.get(field) is not None and got != vector[field]:
            problems.append(f"{field} {got!r}, want {vector[field]!r}")
    return problems


def run(tool, vector, folder, timeout):
    paths = {}
    for field in ("message", "key", "suffix"):
        paths[field] = folder / field
        paths[field].write_bytes(vector[field].encode("utf-8"))
    command = [tool, "decode", "--raw", "--key-file", str(paths["key"]),
               "--suffix-file", str(paths["suffix"]), str(paths["message"])]
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return [f"no answer in {timeout} s"]
    if refused_up_front(vector, done.returncode, done.stdout):
        return []
    if vector["expect"] == "text":
        return check_text(vector, done.returncode, done.stdout)
    return check_error(vector, done.returncode, done.stderr)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tool", help="the trirotor program, e.g. build/trirotor")
    parser.add_argument("--vectors", type=pathlib.Path, default=DEFAULT_VECTORS)
    parser.add_argument("--match", default="", help="only vectors whose name holds this text")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds per vector")
    args = parser.parse_args()

    passed = failed = 0
    with tempfile.TemporaryDirectory() as scratch:
        for line in args.vectors.read_text(encoding="utf-8").splitlines():
            if not line.strip():
                continue
            vector = json.loads(line)
            if args.match not in vector["name"]:
                continue
            problems = run(args.tool, vector, pathlib.Path(scratch), args.timeout)
            if problems:
                failed += 1
                print(f"FAIL {vector['name']}: {'; '.join(problems)}", flush=True)
            else:
                passed += 1
    print(f"{passed} passed, {failed} failed")
    return 0 if passed and not failed else 1


if __name__ == "__main__":
    sys.exit(main())
