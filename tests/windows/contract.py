#!/usr/bin/env python3
"""The tool's contract on Windows: trirotor.exe driven under Wine.

    tests/windows/contract.py build-win/trirotor.exe

One table of cases, each a command line (with its standard input) and what
it must give: the exit status, the bytes on standard output, the files left
behind. Names, keys and texts go beyond ASCII and beyond the code page
(file names are UTF-16 on Windows); texts carry CRLF, 0x1A and a lone 0x0D,
which text-mode streams would change. Needs WINEPREFIX set and LC_ALL a
UTF-8 locale (Wine takes arguments and names through it).
"""
import hashlib
import json
import os
import pathlib
import select
import subprocess
import sys
import tempfile
import time

import jsonschema

KEY = "Schlüssel€"  # held by code page 1252
TEXT = "Grüße aus Köln: 10 € für café\r\nline two\n".encode("utf-8")
BINARY = b"a\r\nb\x1ac\rd\n\x1a"
NAME = "Привет, мир ü.txt"  # no code page holds it whole
SCHEMA = json.loads((pathlib.Path(__file__).resolve().parents[2] / "docs" / "report.schema.json").read_text())


def run(exe, args, stdin=b"", cwd=None, env=None):
    # Now and then Wine ends a start with status 1 and no byte on either
    # stream, which trirotor.exe never does (each status 1 of its own says
    # why): such a run is made once more, and said so.
    for attempt in range(2):
        done = subprocess.run(["wine", exe, *args], input=stdin, capture_output=True, cwd=cwd, env=env, timeout=120)
        if attempt == 0 and done.returncode == 1 and not done.stdout and not done.stderr:
            print(f"     note: wine gave status 1 and no output for {args[:2]}; running it once more")
            continue
        return done.returncode, done.stdout, done.stderr


def answers_as_lines_arrive(exe, record):
    """Batch answers a record while its pipe is still open."""
    tool = subprocess.Popen(["wine", exe, "decode", "--jsonl"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        tool.stdin.write(record)
        tool.stdin.flush()
        ready, _, _ = select.select([tool.stdout], [], [], 30)
        answered = bool(ready) and b'"text"' in tool.stdout.readline()
        tool.stdin.close()
        return answered and tool.wait(timeout=60) == 0
    finally:
        if tool.poll() is None:
            tool.kill()


def second_run_refused(exe, d, message, env):
    """A run on a session that another run holds is refused (status 2);
    the first, held by a word list on a pipe, goes on and leaves no lock."""
    session = d / "gesperrt ü.json"
    args = ["recover", "--wordlist", "-", "-q", "--session", str(session), str(message)]
    first = subprocess.Popen(["wine", exe, *args], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL, env=env)
    try:
        first.stdin.write(b"w1\r\n")
        first.stdin.flush()
        for _ in range(600):  # a guard: the first run saves its session before it reads a word
            if session.exists():
                break
            time.sleep(0.1)
        status, _, err = run(exe, args, env=env)
        refused = status == 2 and b"is in use by another trirotor recover" in err
        first.stdin.close()
        return refused and first.wait(timeout=120) == 3 and not pathlib.Path(str(session) + ".lock").exists()
    finally:
        if first.poll() is None:
            first.kill()


def main():
    exe = os.path.abspath(sys.argv[1])
    failures = 0
    with tempfile.TemporaryDirectory(prefix="trirotor-contract-") as scratch:
        d = pathlib.Path(scratch)
        (d / NAME).write_bytes(TEXT)
        (d / "key ü.key").write_bytes(("\ufeff" + KEY + "\r\n").encode("utf-8"))
        (d / "bin.txt").write_bytes(BINARY)
        long_dir = d / "/".join(["folder-with-a-long-name-" + str(i) for i in range(12)])  # > 260 characters
        long_dir.mkdir(parents=True)
        out_dir = d / "Ausgabe ö"
        out_dir.mkdir()
        status, sealed, _ = run(exe, ["encode", "--key", KEY, str(d / NAME)])
        assert status == 0, "encode of the round trip's text failed"
        (d / "sealed ü.b64").write_bytes(sealed)
        (d / "keep.txt").write_bytes(b"kept as it was\n")
        (d / "replace.txt").write_bytes(b"old content\n")
        (d / "damaged.b64").write_bytes(sealed[: len(sealed) * 2 // 3])
        (d / "ring.txt").write_bytes(f"# old keys\nwrong one\nnot this\n# this year's\n{KEY}\n".encode("utf-8"))
        (d / "Wörter.txt").write_bytes(f"first\r\nsecond\r\n{KEY}\r\nlast\r\n".encode("utf-8"))
        status, short_sealed, _ = run(exe, ["encode", "--key", "k7", str(d / NAME)])
        assert status == 0, "encode under the short key failed"
        (d / "short ü.b64").write_bytes(short_sealed)
        status, suffixed, _ = run(exe, ["encode", "--key", "k7", "--suffix", "Nachsilbe ß", str(d / NAME)])
        assert status == 0, "encode under a suffix failed"
        (d / "suffixed ü.b64").write_bytes(suffixed)
        records = "".join(json.dumps({"id": i, "message": sealed.decode().strip(), "key": k}) + "\n"
                          for i, k in enumerate([KEY, "wrong", KEY]))
        env = dict(os.environ, TRIROTOR_TEST_KEY=KEY, TRIROTOR_TEST_SUFFIX="Nachsilbe ß")
        # An archive: non-ASCII names of files and folders; a folder and a
        # file the run excludes (either would fail it: 3); its output folder
        # and report inside it, to be left out of the walks that follow.
        arch = d / "Archiv ä"
        (arch / "2003 Jahr").mkdir(parents=True)
        (arch / "skip").mkdir()
        (arch / "2003 Jahr" / "Brief ü.b64").write_bytes(sealed)
        (arch / "Привет.b64").write_bytes(sealed)
        (arch / "skip" / "other key.b64").write_bytes(short_sealed)
        (arch / "notes.md").write_bytes(b"hello world\n")
        arch_out = arch / "Ausgabe ß"
        arch_out.mkdir()
        report = arch / "bericht ü.jsonl"
        outputs = {"2003 Jahr/Brief ü.txt": TEXT, "Привет.txt": TEXT}
        archive_run = ["decode", "--key", KEY, "-r", "--exclude", "*.md", "--exclude", "skip", "--output-dir",
                       str(arch_out), "--report", str(report), str(arch)]
        leftover = arch_out / "2003 Jahr" / ".Brief ü.txt.trirotor-a1b2c3"
        # Linked folders: Wine shows a symbolic link as a reparse point.
        linked = d / "verknüpft"
        (linked / "unter").mkdir(parents=True)
        (linked / "unter" / "a.b64").write_bytes(sealed)
        os.symlink("unter", linked / "link")
        os.symlink("..", linked / "unter" / "hoch")  # a loop
        (d / "links out").mkdir()
        (d / "Neu").mkdir()

        def walked(report_name, want):
            def check(_):
                lines = [json.loads(line) for line in (d / report_name).read_text(encoding="utf-8").splitlines()]
                return [(line["path"], line["eventOutcome"]) for line in lines if line["kind"] == "input"] == want
            return check

        def file_is(name, want):
            return lambda out: (d / name).read_bytes() == want

        def no_temporary(_):
            return not any(p.name.startswith(".") and ".trirotor-" in p.name for p in d.iterdir())

        def tree(root):
            return {p.relative_to(root).as_posix(): p.read_bytes() for p in root.rglob("*") if p.is_file()}

        def report_holds(kept):
            """The report is valid, names each input once, and its digests are the files'."""
            lines = [json.loads(line) for line in report.read_text(encoding="utf-8").splitlines()]
            for line in lines:
                jsonschema.validate(line, SCHEMA)
            inputs = [line for line in lines if line["kind"] == "input"]
            for line in inputs:
                if (hashlib.sha256((arch / line["path"]).read_bytes()).hexdigest() != line["sha256"] or
                        hashlib.sha256((arch_out / line["outputPath"]).read_bytes()).hexdigest() !=
                        line["outputSha256"]):
                    return False
            return (sorted(line["outputPath"] for line in inputs) == sorted(outputs) and
                    sorted(line["path"] for line in inputs) == ["2003 Jahr/Brief ü.b64", "Привет.b64"] and
                    lines[-1]["kind"] == "summary" and lines[-1]["kept"] == kept)

        def interrupted_run():
            (arch_out / "Привет.txt").unlink()
            leftover.write_bytes(b"half a text")

        def altered_output():
            (arch_out / "2003 Jahr" / "Brief ü.txt").write_bytes(b"not the text\n")

        # name, arguments, standard input, status, standard output (bytes, a check, or None)
        cases = [
            ("non-ASCII name, key and text", ["decode", "--key", KEY, str(d / "sealed ü.b64")], b"", 0, TEXT),
            ("key file with BOM and CRLF", ["decode", "--key-file", str(d / "key ü.key"), str(d / "sealed ü.b64")],
             b"", 0, TEXT),
            ("key from the environment", ["decode", "--key-env", "TRIROTOR_TEST_KEY", str(d / "sealed ü.b64")],
             b"", 0, TEXT),
            ("message on standard input", ["decode", "--key", KEY], sealed, 0, TEXT),
            ("unicode name round trip", ["encode", "--key", KEY, str(d / NAME), "-o", str(d / "out ü.b64")], b"", 0,
             lambda out: run(exe, ["decode", "--key", KEY, str(d / "out ü.b64")])[1] == TEXT),
            ("a path past 260 characters", ["encode", "--key", KEY, str(d / NAME), "-o", str(long_dir / "x.b64")],
             b"", 0, lambda out: run(exe, ["decode", "--key", KEY, str(long_dir / "x.b64")])[1] == TEXT),
            ("binary bytes through the pipes", ["encode", "--raw", "--key", "k"], BINARY, 0,
             lambda out: run(exe, ["decode", "--raw", "--key", "k"], out)[1] == BINARY),
            ("binary file to standard output", ["encode", "--raw", "--key", "k", str(d / "bin.txt")], b"", 0,
             lambda out: run(exe, ["decode", "--raw", "--key", "k"], out)[1] == BINARY),
            ("wrong key: 3", ["decode", "--key", "wrong", str(d / "sealed ü.b64")], b"", 3, b""),
            ("missing file: 2", ["decode", "--key", KEY, str(d / "nowhere ü.b64")], b"", 2, b""),
            ("no key and no console: 2", ["decode", str(d / "sealed ü.b64")], b"", 2, b""),
            ("unknown option: 1", ["decode", "--no-such-option"], b"", 1, b""),
            ("-o replaces a file", ["decode", "--key", KEY, str(d / "sealed ü.b64"), "-o", str(d / "replace.txt")],
             b"", 0, file_is("replace.txt", TEXT)),
            ("-o left untouched on failure", ["decode", "--key", "wrong", str(d / "sealed ü.b64"), "-o",
                                              str(d / "keep.txt")], b"", 3, file_is("keep.txt", b"kept as it was\n")),
            ("no temporary file left", ["decode", "--key", "wrong", str(d / "sealed ü.b64"), "-o",
                                        str(d / "new.txt")], b"", 3,
             lambda out: no_temporary(out) and not (d / "new.txt").exists()),
            ("-o NUL is the device", ["decode", "--key", KEY, str(d / "sealed ü.b64"), "-o", "NUL"], b"", 0,
             lambda out: not (d / "NUL").exists()),
            ("-o a directory refused", ["decode", "--key", KEY, str(d / "sealed ü.b64"), "-o", str(d)], b"", 2, b""),
            ("-o over its own input refused", ["decode", "--key", KEY, str(d / "sealed ü.b64"), "-o",
                                               str(d / "sealed ü.b64")], b"", 1, b""),
            ("key file that is standard input refused", ["decode", "--key-file", "-"], sealed, 1, b""),
            ("batch from a pipe (one record fails: 3)", ["decode", "--jsonl"], records.encode(), 3,
             lambda out: [json.loads(line).get("text") for line in out.splitlines()] ==
             [TEXT.decode(), None, TEXT.decode()]),
            ("--output-dir with a non-ASCII folder", ["decode", "--key", KEY, "--output-dir", str(out_dir),
                                                       str(d / "sealed ü.b64")], b"", 0,
             lambda out: (out_dir / "sealed ü.txt").read_bytes() == TEXT),
            ("key ring", ["decode", "--keyring", str(d / "ring.txt"), str(d / "sealed ü.b64")], b"", 0, TEXT),
            ("key ring without the key: 3", ["decode", "--keyring", str(d / "key ü.key"), str(d / "damaged.b64")],
             b"", 3, b""),
            ("inspect", ["inspect", str(d / "sealed ü.b64")], b"", 0, lambda out: len(out) > 0),
            ("salvage of a cut message: 4", ["decode", "--salvage", "--key", KEY, str(d / "damaged.b64")], b"", 4,
             lambda out: len(out) > 0 and TEXT.startswith(out[:8])),
            ("recover from a word list", ["recover", "--wordlist", str(d / "Wörter.txt"), "--json", "-q",
                                          "--session", str(d / "Sitzung ü.json"), str(d / "sealed ü.b64")], b"", 0,
             lambda out: json.loads(out)["key"] == KEY and (d / "Sitzung ü.json").exists()),
            ("recover from a mask", ["recover", "--mask", "?l?d", "-q", "--session", str(d / "Maske ü.json"),
                                     str(d / "short ü.b64")], b"", 0, lambda out: out.strip() == b"k7"),
            ("recover names its session after the message", ["recover", "--mask", "?l?d", "-q",
                                                              str(d / "short ü.b64")], b"", 0,
             lambda out: out.strip() == b"k7" and (d / "short ü.b64.recover").exists()),
            ("recover finds none: 3", ["recover", "--wordlist", str(d / "Wörter.txt"), "-q", "--session",
                                       str(d / "keine ü.json"), str(d / "short ü.b64")], b"", 3, b""),
            ("recover: --restore of a search that found its key: 2, and no lock left",
             ["recover", "--restore", str(d / "Maske ü.json"), "-q"], b"", 2,
             lambda out: out == b"" and not (d / "Maske ü.json.lock").exists()),
            ("recover: a suffix from the environment, printed after a TAB",
             ["recover", "--mask", "?l?d", "-q", "--suffix-env", "TRIROTOR_TEST_SUFFIX", "--session",
              str(d / "Nachsilbe ü.json"), str(d / "suffixed ü.b64")], b"", 0, "k7\tNachsilbe ß\n".encode()),
            ("recover: --decode-to over its own message: 1",
             ["recover", "--mask", "?l?d", "-q", "--session", str(d / "über.json"), "--decode-to",
              str(d / "short ü.b64"), str(d / "short ü.b64")], b"", 1,
             lambda out: (d / "short ü.b64").read_bytes() == short_sealed),
            ("archive run: a tree of non-ASCII names, --exclude, --report", archive_run, b"", 0,
             lambda out: tree(arch_out) == outputs and report_holds(0)),
            ("archive run: an existing report without --resume: 1", archive_run, b"", 1, b""),
            ("archive run: --resume redoes what is missing, removes leftovers", archive_run + ["--resume"], b"", 0,
             lambda out: tree(arch_out) == outputs and report_holds(1), interrupted_run),
            ("archive run: --verify of its report", ["decode", "--key", KEY, "--verify", str(report)], b"", 0, b""),
            ("archive run: --verify finds an altered output: 4", ["decode", "--key", KEY, "--verify", str(report)],
             b"", 4, lambda out: out.startswith(b"changed: ") and out.count(b"\n") == 1, altered_output),
            ("archive run: linked folders are skipped", ["decode", "--key", KEY, "-r", "--output-dir",
                                                         str(d / "links out"), "--report", "links1.jsonl", str(linked)],
             b"", 0, walked("links1.jsonl", [("link", "skipped"), ("unter/a.b64", "opened"),
                                             ("unter/hoch", "skipped")])),
            ("archive run: --follow-symlinks, a loop and a second way in", ["decode", "--key", KEY, "-r",
                                                                            "--follow-symlinks", "--output-dir",
                                                                            str(d / "links out"), "--report",
                                                                            "links2.jsonl", str(linked)],
             b"", 0, walked("links2.jsonl", [("link/a.b64", "opened"), ("link/hoch", "skipped"),
                                             ("unter", "skipped")])),
            ("archive run: an output that is the report spelt in another case: 1",
             ["decode", "--key", KEY, "--output-dir", str(d / "Neu"), "--report", str(d / "NEU" / "sealed ü.txt"),
              str(d / "sealed ü.b64")], b"", 1, lambda out: not any((d / "Neu").iterdir())),
            ("archive run: a missing --output-dir is made, --report - on standard output",
             ["decode", "--key", KEY, "--output-dir", str(d / "neu ü" / "texte"), "--report", "-",
              str(arch / "2003 Jahr")], b"", 0,
             lambda out: (d / "neu ü" / "texte" / "Brief ü.txt").read_bytes() == TEXT and
             [json.loads(line)["kind"] for line in out.splitlines()] == ["input", "summary"]),
            ("archive run: --report NUL is the device", ["decode", "--key", KEY, "--output-dir", str(d / "nul out"),
                                                         "--report", "NUL", str(arch / "2003 Jahr")], b"", 0,
             lambda out: not (d / "NUL").exists() and (d / "nul out" / "Brief ü.txt").read_bytes() == TEXT),
            ("archive run: --report a folder: 2", ["decode", "--key", KEY, "--output-dir", str(d / "nul out"),
                                                   "--report", str(d / "Neu"), str(arch / "2003 Jahr")], b"", 2, b""),
            ("archive run: --include with a '/'", ["decode", "--key", KEY, "-r", "--include", "2003 J?hr/*ü.b64",
                                                   "--output-dir", str(out_dir), str(arch)], b"", 0,
             lambda out: tree(out_dir) == {"2003 Jahr/Brief ü.txt": TEXT, "sealed ü.txt": TEXT}),
        ]
        for name, args, stdin, want_status, want_out, *before in cases:
            for step in before:
                step()
            status, out, err = run(exe, args, stdin, cwd=d, env=env)
            good = status == want_status
            if callable(want_out):
                good = good and want_out(out)
            elif want_out is not None:
                good = good and out == want_out
            print(("ok   " if good else "FAIL ") + name)
            if not good:
                failures += 1
                print(f"     status {status} (want {want_status}); stdout {out[:120]!r}; stderr {err[:300]!r}")
        streamed = answers_as_lines_arrive(exe, records.splitlines(keepends=True)[0].encode())
        print(("ok   " if streamed else "FAIL ") + "batch answers a line before its pipe closes")
        failures += 0 if streamed else 1
        locked = second_run_refused(exe, d, d / "short ü.b64", env)
        print(("ok   " if locked else "FAIL ") + "recover: a second run on a session in use is refused: 2")
        failures += 0 if locked else 1
    print(f"{len(cases) + 2 - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
