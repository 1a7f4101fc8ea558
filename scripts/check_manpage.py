#!/usr/bin/env python3
"""check_manpage.py - a manual page holds every option its program's help shows.

  check_manpage.py PAGE PROGRAM              the check
  check_manpage.py PAGE PROGRAM --self-test  the check fails on PAGE with
                                             any one option, or any one
                                             command's section, taken out

PAGE is roff, plain or gzipped. The options are read from PROGRAM --help
and, for every command it lists under "Subcommands:", from PROGRAM COMMAND
--help; a command's options must appear in the page's section of that
command (.SH "PROGRAM COMMAND"). A page with commands also needs an
EXIT STATUS section naming 0 to 5 and 128+N.

Exit status 0 when the page is whole, 1 with what is missing on standard
error.
"""

import gzip
import os
import re
import subprocess
import sys

# "  -o,--output FILE   Write ..." (CLI11), "  -h, --help   Displays ..." (Qt)
HELP_OPTION = re.compile(r"^ {2}(-[^\s,]+(?:,\s*-[^\s,]+)*)")
STATUSES = ("0", "1", "2", "3", "4", "5", "128+N")


def run(program: str, *args: str) -> str:
    env = {**os.environ, "DISPLAY": "", "WAYLAND_DISPLAY": ""}
    return subprocess.run([program, *args], capture_output=True, text=True, check=True, env=env).stdout


def help_options(text: str) -> list[str]:
    found = []
    for line in text.splitlines():
        match = HELP_OPTION.match(line)
        if match:
            found += [name.strip() for name in match.group(1).split(",")]
    return found


def command_names(top: str) -> list[str]:
    names, inside = [], False
    for line in top.splitlines():
        if line.strip() == "Subcommands:":
            inside = True
        elif inside and line.startswith("  ") and line.strip():
            names.append(line.split()[0])
        elif inside and line.strip():
            break
    return names


def plain(roff: str) -> str:
    """The words of a roff page, without escapes and font changes."""
    text = roff.replace("\\-", "-").replace("\\(en", "-").replace("\\&", "")
    return re.sub(r"\\f(\[[A-Z]*\]|[BIRP])", "", text)


def sections(roff: str) -> dict[str, str]:
    parts = re.split(r'^\.SH +"?([^"\n]*)"?\s*$', plain(roff), flags=re.MULTILINE)
    return {parts[i].strip().upper(): parts[i + 1] for i in range(1, len(parts) - 1, 2)}


def mentions(text: str, option: str) -> bool:
    return re.search(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", text) is not None


def expected(program: str) -> dict[str, list[str]]:
    """Section name ("" for the whole page) to the options it must hold."""
    top = run(program, "--help")
    wanted = {"": help_options(top)}
    name = os.path.basename(program).upper()
    for command in command_names(top):
        wanted[f"{name} {command.upper()}"] = help_options(run(program, command, "--help"))
    return wanted


def missing(roff: str, wanted: dict[str, list[str]]) -> list[str]:
    found = sections(roff)
    whole = plain(roff)
    problems = []
    for section, options in wanted.items():
        if section and section not in found:
            problems.append(f"no section {section}")
            continue
        text = found[section] if section else whole
        problems += [f"{option} is not in {section or 'the page'}" for option in options if not mentions(text, option)]
    if len(wanted) > 1:
        statuses = found.get("EXIT STATUS", "")
        problems += [f"exit status {s} is not in EXIT STATUS" for s in STATUSES if not mentions(statuses, s)]
    return problems


def without(roff: str, section: str, option: str) -> str:
    """The page's words with `option` taken out of `section` ("" for all)."""
    text = plain(roff)
    def drop(part: str) -> str:
        return re.sub(r"(?<![\w-])" + re.escape(option) + r"(?![\w-])", "", part)
    if not section:
        return drop(text)
    head, marker, rest = text.partition(f'.SH "{section}"')
    body, next_marker, tail = rest.partition("\n.SH ")
    return head + marker + drop(body) + next_marker + tail


def self_test(roff: str, wanted: dict[str, list[str]]) -> list[str]:
    problems = []
    cases = [(section, option) for section, options in wanted.items() for option in options]
    if not cases:
        problems.append("the help shows no options at all")
    for section, option in cases:
        if not missing(without(roff, section, option), wanted):
            problems.append(f"taking {option} out of {section or 'the page'} went unnoticed")
    for section in (s for s in wanted if s):
        cut = re.sub(r'^\.SH "' + re.escape(section) + r'".*?(?=^\.SH )', "", roff, flags=re.MULTILINE | re.DOTALL)
        if not missing(cut, wanted):
            problems.append(f"taking section {section} out went unnoticed")
    return problems


def main() -> int:
    if len(sys.argv) not in (3, 4) or sys.argv[3:] not in ([], ["--self-test"]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    page, program = sys.argv[1], sys.argv[2]
    opener = gzip.open if page.endswith(".gz") else open
    with opener(page, "rt", encoding="utf-8") as file:
        roff = file.read()
    wanted = expected(program)
    problems = self_test(roff, wanted) if sys.argv[3:] else missing(roff, wanted)
    for problem in problems:
        print(f"check_manpage.py: {page}: {problem}", file=sys.stderr)
    if not problems:
        count = sum(len(options) for options in wanted.values())
        print(f"{page}: {count} options in {len(wanted)} sections{' (self-test)' if sys.argv[3:] else ''}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
