#!/usr/bin/env python3
"""check_layers.py - the layering rules the build keeps, checked.

  check_layers.py includes ROOT      no file outside the engine, its host
                                     layer, tests, fuzz, bench and testing
                                     includes an engine/ header other than
                                     engine/trirotor.h; and the tool's
                                     layers hold (TOOL_LAYERS below)
  check_layers.py exports LIBRARY    a shared libtrirotor exports only the
                                     trirotor:: names of engine/trirotor.h

Exit status 0 when the rule holds, 1 with each breach on standard error.
"""

import pathlib
import re
import subprocess
import sys

# Who may see the engine's insides: itself, its host layer, and what tests it.
INSIDE = ("engine", "platform", "tests", "fuzz", "bench", "testing", "gui/tests", "cli/tests", "build")
INCLUDE = re.compile(r'^\s*#\s*include\s*"engine/([^"]+)"', re.MULTILINE)


def check_includes(root: pathlib.Path) -> list[str]:
    breaches = []
    for path in sorted(root.rglob("*")):
        if path.suffix not in (".c", ".cc", ".cpp", ".h", ".hpp") or not path.is_file():
            continue
        relative = path.relative_to(root).as_posix()
        if relative.startswith(tuple(f"{d}/" for d in INSIDE)) or "/build" in relative or relative.startswith("build"):
            continue
        for header in INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
            if header != "trirotor.h":
                breaches.append(f"{relative} includes engine/{header}; outside the engine only engine/trirotor.h")
    return breaches


# The tool's layers, lowest first: each names the files it holds and the
# headers of the tool it may include. support/ is below the tool; records/
# is a library of its own; the tool's base (how a run ends, the seam with
# the operating system in cli/os/, the reader and output over it, the
# numbers, names and progress line people see), the decode's parts
# (cli/decode/), the candidates and the archive run (cli/archive/) are
# libraries the program links, and none of them includes the program's
# front (cli/run.h, cli/batch.h, cli/inspect.h, recover and main).
TOOL_INCLUDE = re.compile(r'^\s*#\s*include\s*"((?:cli|records|support)/[^"]+)"', re.MULTILINE)
BASE = ("cli/status.h", "cli/file_io.h", "cli/human.h", "cli/progress_line.h", "cli/sha256.h", "cli/os/")
DECODE = ("support/", "records/", "cli/decode/") + BASE
TOOL_LAYERS = (
    ("support", ("support/",), ("support/",)),
    ("records", ("records/",), ("support/", "records/")),
    ("the tool's base", ("cli/status.", "cli/file_io.", "cli/human.", "cli/progress_line.", "cli/sha256", "cli/os/"),
     ("support/",) + BASE),
    ("the decode's parts", ("cli/decode/",), DECODE),
    ("candidates", ("cli/recover/candidates.",), ("support/", "cli/recover/candidates.h") + BASE),
    # The recover library reads the message as decode does and never the
    # command line's half of recover.
    ("the recover library", ("cli/recover/recover.", "cli/recover/recover_session."),
     DECODE + ("cli/recover/candidates.h", "cli/recover/recover.h", "cli/recover/recover_session.h")),
    ("the archive's globs", ("cli/archive/glob.",), ("cli/archive/glob.h",)),
    ("the archive run", ("cli/archive/",), DECODE + ("cli/archive/",)),
)


def check_tool_layers(root: pathlib.Path) -> list[str]:
    breaches = []
    for name, holds, allowed in TOOL_LAYERS:
        for path in sorted(root.rglob("*")):
            if path.suffix not in (".cpp", ".h", ".in") or not path.is_file():
                continue
            relative = path.relative_to(root).as_posix()
            if not relative.startswith(holds):
                continue
            for header in TOOL_INCLUDE.findall(path.read_text(encoding="utf-8", errors="replace")):
                if not header.startswith(allowed):
                    breaches.append(f"{relative} includes {header}: {name} stands below it")
    return breaches


def public_names(root: pathlib.Path) -> set[str]:
    """The unqualified names engine/trirotor.h marks TRIROTOR_API."""
    text = (root / "engine" / "trirotor.h").read_text(encoding="utf-8")
    names = set()
    for line in text.splitlines():
        code = line.split("//")[0]
        if "TRIROTOR_API" not in code or code.lstrip().startswith("#"):
            continue
        declared = re.search(r"class\s+TRIROTOR_API\s+(\w+)", code)
        if declared is None:  # a function (name before its parameters) or a variable
            head = code.split("(")[0] if "(" in code else code.split(";")[0]
            declared = re.search(r"(\w+)\s*$", head)
        if declared:
            names.add(declared.group(1))
    return names


def check_exports(library: str, root: pathlib.Path) -> list[str]:
    listing = subprocess.run(["nm", "-D", "--defined-only", "-C", library], check=True,
                             capture_output=True, text=True).stdout
    allowed = public_names(root)
    breaches = []
    for line in listing.splitlines():
        symbol = line.split(" ", 2)[2] if line.count(" ") >= 2 else line
        name = re.sub(r"^(typeinfo name for|typeinfo for|vtable for) ", "", symbol)
        name = re.sub(r"\[abi:\w+\]", "", name.split("(")[0])
        parts = name.split("::")
        if parts[0] != "trirotor" or "internal" in parts:
            breaches.append(f"{library} exports {symbol}")
            continue
        if not any(part in allowed for part in parts[1:]):
            breaches.append(f"{library} exports {symbol}, which engine/trirotor.h does not declare")
    return breaches


def main() -> int:
    if len(sys.argv) < 3 or sys.argv[1] not in ("includes", "exports"):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root = pathlib.Path(__file__).resolve().parent.parent
    if sys.argv[1] == "includes":
        breaches = check_includes(pathlib.Path(sys.argv[2])) + check_tool_layers(pathlib.Path(sys.argv[2]))
    else:
        breaches = check_exports(sys.argv[2], root)
    for breach in breaches:
        print(f"check_layers.py: {breach}", file=sys.stderr)
    if not breaches:
        print(f"check_layers.py: {sys.argv[1]}: the rule holds")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
