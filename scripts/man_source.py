#!/usr/bin/env python3
"""man_source.py - the help a manual page is made from, for help2man.

  man_source.py PROGRAM --help | --version

help2man asks a program for --help and --version. This stands in for
PROGRAM and answers from PROGRAM's own help, so the page cannot drift from
it:

  - trirotor: the top help, then every command it lists under
    "Subcommands:" with that command's own --help (options, then the
    footer with its exit statuses), each as a section of its own. New
    commands and options appear without edits here.
  - anything else (trirotor-gui): its --help as it is.

--version gives the first line only ("trirotor 0.1.0"): the build lines
name a commit, which would make two builds of one version differ.
"""

import os
import re
import subprocess
import sys

# "  --key-file FILE   Read the key ...", and a positional: "  MESSAGE Excludes: ..."
OPTION = re.compile(r"^  (-\S+|[A-Z][A-Z_]*)(.*)$")
TAGGED = re.compile(r"^  (\S+)( {2,})\S")  # "  128+N  stopped by ...": a tag, then its text


def run(program: str, *args: str) -> str:
    name = os.path.basename(program)
    # Named as a user types it: Qt's usage line shows the program's argv[0].
    done = subprocess.run([name, *args], executable=program, capture_output=True, text=True,
                          env={**os.environ, "DISPLAY": "", "WAYLAND_DISPLAY": ""})
    if done.returncode != 0:
        sys.exit(f"man_source.py: {program} {' '.join(args)} failed ({done.returncode}): {done.stderr.strip()}")
    return done.stdout


def commands(top_help: str) -> list[tuple[str, str]]:
    """(name, summary) of each command under "Subcommands:"."""
    found, inside = [], False
    for line in top_help.splitlines():
        if line.strip() == "Subcommands:":
            inside = True
        elif inside and line.startswith("  ") and line.strip():
            name, _, summary = line.strip().partition(" ")
            found.append((name, summary.strip()))
        elif inside and line.strip():
            break
    return found


ANNOTATIONS = {"Excludes:": "not with", "Needs:": "needs"}


def annotated(rest: str) -> tuple[str, str]:
    """CLI11's "Excludes: --a --b Needs: --c  Description" as the
    description and " (not with --a, --b; needs --c)"."""
    words, notes, kind = rest.split(), {}, None
    while words and (words[0] in ANNOTATIONS or (kind and re.match(r"--?\w", words[0]))):
        word = words.pop(0)
        if word in ANNOTATIONS:
            kind = ANNOTATIONS[word]
        else:
            notes.setdefault(kind, []).append(word)
    note = "; ".join(f"{kind} {', '.join(names)}" for kind, names in notes.items())
    return " ".join(words), f" ({note})" if note else ""


def plain_options(help_text: str) -> list[str]:
    """One command's help, reshaped for help2man: what CLI11 writes beside
    an option ("Excludes: X", "Needs: Y") goes into its description as
    "(not with X; needs Y)", and a positional's type word ("FILE TEXT ...")
    goes."""
    out, pending = [], ""
    for line in help_text.splitlines():
        line = re.sub(r"^  ([A-Z]+) TEXT( \.\.\.)?", r"  \1\2", line)
        match = OPTION.match(line)
        mark = re.search(r" (Excludes|Needs): ", match.group(2)) if match else None
        if mark:
            head = match.group(2)[:mark.start()]
            description, pending = annotated(match.group(2)[mark.start():])
            if description:
                out.append(f"  {match.group(1)}{head.rstrip()}  {description}{pending}")
                pending = ""
            else:
                out.append(f"  {match.group(1)}{head.rstrip()}")
            continue
        if pending and line.startswith("    ") and line.strip():
            out.append(line.rstrip() + pending)
            pending = ""
            continue
        out.append(line)
    return aligned(out)


def aligned(lines: list[str]) -> list[str]:
    """Continuation lines of a tagged paragraph ("  128+N  stopped by
    signal N ...", then "       go on with ...") moved to the column of its
    text: help2man ends the paragraph at a line that is not, and the rest
    of the entry would stand apart from its tag."""
    out, column = [], 0
    for line in lines:
        tagged = TAGGED.match(line)
        indent = len(line) - len(line.lstrip(" "))
        if tagged:
            column = len(tagged.group(1)) + len(tagged.group(2)) + 2
        elif column and line.strip() and 2 < indent < column:
            line = " " * column + line.lstrip(" ")
        elif not line.strip() or indent <= 2:
            column = 0
        out.append(line)
    return out


def tool_help(program: str) -> str:
    top = run(program, "--help")
    lines = top.splitlines()
    # The first line is the description, the second the usage.
    page = [lines[1], "", lines[0], ""] + lines[2:]
    for name, summary in commands(top):
        text = run(program, name, "--help").splitlines()
        # Its first line repeats the summary; the second is its usage.
        # "*trirotor decode*" starts a section of the page of that name.
        page += ["", f"*trirotor {name}*", "", summary.rstrip(".") + ".", "",
                 "Usage: " + text[1].removeprefix("Usage:").strip(), ""]
        body = [line for line in plain_options("\n".join(text[2:]))
                if line.strip() not in ("Options:", "Positionals:")]
        page += body
    return "\n".join(page) + "\n"


def main() -> int:
    if len(sys.argv) != 3 or sys.argv[2] not in ("--help", "--version"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    program, what = sys.argv[1], sys.argv[2]
    if what == "--version":
        sys.stdout.write(run(program, "--version").splitlines()[0] + "\n")
    elif commands(run(program, "--help")):
        sys.stdout.write(tool_help(program))
    else:
        sys.stdout.write(run(program, "--help"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
