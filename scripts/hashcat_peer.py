#!/usr/bin/env python3
"""hashcat_peer.py - makes recover's peer data with hashcat --stdout.

recover's candidates are held against a real peer: hashcat makes the same
words from the same word list, rules and masks, in the same order. Starting
hashcat costs seconds (its OpenCL runtime builds kernels on the first call)
and needs an OpenCL loader a fresh machine may lack, so the unit tests read
what hashcat made from tests/data/hashcat/, and this script makes it again:

  scripts/hashcat_peer.py make    rewrite tests/data/hashcat/peer.jsonl
                                  (and the inputs taken from hashcat's
                                  shipped rule files) with the hashcat on
                                  PATH
  scripts/hashcat_peer.py check   make it again in a scratch folder and fail
                                  on any difference from what is committed
                                  (the live peer step of .ci/run)

peer.jsonl holds a line a case: hashcat's arguments, the inputs the test
needs to make its own candidates, the number of lines hashcat wrote, and
digests of those lines (the first 16 hex digits of the SHA-256 of each
block of lines, every line ended by LF). Whole outputs would be tens of
megabytes; a digest per block still points the test at the rules and words
where the two differ.
"""

import concurrent.futures
import functools
import hashlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import uuid

ROOT = pathlib.Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data" / "hashcat"
SHIPPED = pathlib.Path("/usr/share/hashcat/rules")
BLOCK = 1000  # lines a digest

# Every rule function we support alone, with arguments that hit its edges
# (positions at, inside and past the end), over the whole word list.
FUNCTIONS = [
    ":", "l", "u", "c", "C", "t", "T0", "T3", "TZ", "r", "p0", "p1", "p3", "f", "{", "}", "$1", "$ ",
    "^!", "^\xc3", "[", "]", "D0", "D4", "DF", "x02", "x14", "x9A", "O02", "O31", "O06", "i0X", "i4-",
    "iA@", "o0Q", "o3.", "'0", "'4", "'9", "sa4", "s _", "s\xc3X", "@a", "@ ", "z1", "z3", "Z2", "q",
    "E", "e-", "e ", "30a", "31a", "30 ", "k", "K", "*03", "*14", "*5A", "L0", "L2", "R0", "R1", "+0",
    "+3", "-0", "-2", ".0", ".2", ",0", ",1", ",3", "y0", "y2", "y9", "Y0", "Y3", "YF", "$1 $2 ^0",
    "cT5$!", "rp2", "$\\x41", "^\\x7e", "s\\x61\\x40", "i2\\x2d", "o0\\xc3",
]

# Rule files hashcat ships that recover runs in full. The three largest
# are kept as every tenth rule, so that the repository stays small; the
# rest whole.
RULE_FILES = ["best64.rule", "leetspeak.rule", "toggles1.rule", "toggles2.rule", "combinator.rule",
              "T0XlC_3_rule.rule", "oscommerce.rule", "InsidePro-PasswordsPro.rule",
              "T0XlC-insert_space_and_special_0_F.rule", "unix-ninja-leetspeak.rule",
              "dive.rule", "generated2.rule", "rockyou-30000.rule"]
SAMPLED = {"dive.rule", "generated2.rule", "rockyou-30000.rule"}
# Rule files recover refuses at their first unsupported line: their heads.
REFUSED = {"specific.rule": 6, "d3ad0ne.rule": 7794}

# Masks as hashcat's -a 3, hybrids as -a 6 (word, then mask) and -a 7
# (mask, then word): custom sets, literals, escapes and --increment.
MASKS = [
    ("alone", "?d?d?d", [], 0), ("alone", "?l?u?d", [], 0), ("alone", "?s?h?H", [], 0),
    ("alone", "?a?a", [], 0), ("alone", "ab??c?1?2", ["zb9b", "?ld0"], 0),
    ("alone", "X?3?4", ["", "", "?l?s", "\xc3\xa9"], 0), ("alone", "?d?l?d?l", [], 1),
    ("alone", "?d?d?d?d", [], 3), ("append", "?d?s", [], 0), ("append", "?d?d", [], 1),
    ("prepend", "?u?d", [], 0),
]


def lines_of(raw):
    """hashcat's output split as a reader of lines splits it."""
    return raw.split(b"\n")[:-1] if raw.endswith(b"\n") else raw.split(b"\n")


def digests(lines):
    out = []
    for first in range(0, len(lines), BLOCK):
        block = b"".join(line + b"\n" for line in lines[first:first + BLOCK])
        out.append(hashlib.sha256(block).hexdigest()[:16])
    return out


def hashcat(arguments, folder):
    # A session of its own: hashcat refuses to start beside a running
    # instance of the same session, and the cases run side by side.
    session = f"trirotor-peer-{uuid.uuid4().hex}"
    command = ["hashcat", "--stdout", "--markov-disable", "--quiet", "--potfile-disable",
               "--session", session] + arguments
    done = subprocess.run(command, cwd=folder, capture_output=True)
    if done.returncode != 0:
        sys.exit(f"hashcat_peer.py: {' '.join(command)} exited {done.returncode}: "
                 f"{done.stderr.decode(errors='replace').strip()}")
    return lines_of(done.stdout)


def raw_words(folder, name):
    """The lines of a word list as hashcat and recover both read them."""
    return (folder / name).read_bytes().split(b"\n")[:-1]


def copy_inputs(folder):
    """The shipped rule files, as the test reads them, into folder/rules."""
    rules = folder / "rules"
    rules.mkdir(exist_ok=True)
    for name in RULE_FILES:
        lines = (SHIPPED / name).read_bytes().split(b"\n")
        if name in SAMPLED:
            kept = [line for line in lines if line.strip() and not line.startswith(b"#")][::10]
            (rules / name).write_bytes(b"".join(line + b"\n" for line in kept))
        else:
            shutil.copyfile(SHIPPED / name, rules / name)
    for name, count in REFUSED.items():
        lines = (SHIPPED / name).read_bytes().split(b"\n")[:count]
        (rules / name).write_bytes(b"".join(line + b"\n" for line in lines))


# How many arguments each rule function takes, to find the functions of a
# rule; the ones that copy the word (d f p q y Y z Z) are those whose lines
# hashcat's device path may garble.
ARGUMENTS = {**{f: 0 for f in ":lucCtrdf{}[]kKqE"}, **{f: 1 for f in "TpDzZ'$^@eLR+-.,yY"},
             **{f: 2 for f in "xOios*3"}}
COPIES = set("dfpqyYzZ")


def copies(rule):
    """Whether a rule (bytes) has a function that copies the word."""
    i = 0
    while i < len(rule):
        function = chr(rule[i])
        if function in " \t":
            i += 1
            continue
        if function not in ARGUMENTS:
            sys.exit(f"hashcat_peer.py: rule {rule!r} has a function this script does not know: {function!r}")
        if function in COPIES:
            return True
        i += 1 + ARGUMENTS[function]
    return False


def rules_of(path):
    return [line.rstrip(b"\r") for line in path.read_bytes().split(b"\n")
            if line.strip(b"\r") and not line.startswith(b"#")]


def rule_file_case(folder, name, words):
    """A shipped rule file over the first words of the list, as hashcat's
    device runs it: 256 rules at a time over every word, then the next 256.

    That path garbles some copies (a 'd', 'f', 'p' after a truncation copies
    stale bytes: the right length, other bytes), so a line of a rule that
    copies is kept as its length only, and the test compares it so. Words
    that a rule turns into two lines (two R on '(' make a line end) are left
    out, so that each line is one rule's on one word."""
    rules = rules_of(folder / "rules" / name)
    take = max(5, min(len(words), 200000 // len(rules)))
    split = splitting(folder, name, words, list(range(take)), len(rules))
    kept = [w for w in range(take) if w not in split]
    made = run_rules(folder, name, [words[w] for w in kept])
    if len(made) != len(kept) * len(rules):
        sys.exit(f"hashcat_peer.py: {name}: {len(made)} lines for {len(kept)} words x {len(rules)} rules")
    shown = []
    for first in range(0, len(rules), 256):
        batch = range(first, min(len(rules), first + 256))
        for w in range(len(kept)):
            for r in batch:
                line = made[len(shown)]
                shown.append(b"<copy of %d bytes>" % len(line) if copies(rules[r]) else line)
    return {"case": f"rules/{name}", "hashcat": f"-r rules/{name} (the words of words.txt listed)",
            "rules": f"rules/{name}", "words": kept, "lines": len(made), "blocks": digests(shown)}


def run_rules(folder, name, words):
    scratch = folder / f"words-{uuid.uuid4().hex}.txt"
    scratch.write_bytes(b"".join(w + b"\n" for w in words))
    made = hashcat(["-r", f"rules/{name}", scratch.name], folder)
    scratch.unlink()
    return made


def splitting(folder, name, words, subset, count):
    """The words of subset that some rule turns into more than one line,
    found by halving: rare, so a few runs of hashcat."""
    if not subset or len(run_rules(folder, name, [words[w] for w in subset])) == len(subset) * count:
        return set()
    if len(subset) == 1:
        return set(subset)
    half = len(subset) // 2
    return splitting(folder, name, words, subset[:half], count) | splitting(folder, name, words, subset[half:], count)


def functions_case(folder, words):
    """Every function alone over every word, a digest a function."""
    # -S: candidates made on the host. hashcat 6.2.6's device path leaves
    # stale bytes behind a truncation that a later 'd', 'f' or 'p' copies;
    # on the host it keeps to its documented examples, word-major.
    made = hashcat(["-S", "-r", "functions.rule", "words.txt"], folder)
    if len(made) != len(words) * len(FUNCTIONS):
        sys.exit(f"hashcat_peer.py: {len(made)} lines for {len(words)} words x {len(FUNCTIONS)} functions")
    per_rule = [digests([made[w * len(FUNCTIONS) + r] for w in range(len(words))])[0]
                for r in range(len(FUNCTIONS))]
    return {"case": "functions", "hashcat": "-S -r functions.rule words.txt",
            "rules": "functions.rule", "words": len(words), "lines": len(made), "per_rule": per_rule}


def mask_case(folder, place, mask, custom, least):
    """A mask alone (-a 3), after each word (-a 6) or before it (-a 7)."""
    arguments = []
    for k, given in enumerate(custom):
        if given:
            arguments += [f"-{k + 1}", given]
    if least:
        arguments += ["--increment", "--increment-min", str(least)]
    if place == "alone":
        arguments = ["-a", "3"] + arguments + [mask]
    elif place == "append":
        arguments = ["-a", "6"] + arguments + ["hybrid-words.txt", mask]
    else:
        arguments = ["-a", "7"] + arguments + [mask, "hybrid-words.txt"]
    made = hashcat([a.encode("latin-1") for a in arguments], folder)
    # hashcat runs -a 7, and -a 6 with --increment, mask-major (each mask
    # over all words); recover is word-major so that a session is a line
    # and a number: the same candidates in another order, compared sorted.
    ordered = place == "alone" or (place == "append" and not least)
    return {"case": "mask " + " ".join(arguments), "place": place, "mask": mask,
            "custom": custom, "increment_min": least,
            "order": "as made" if ordered else "sorted", "lines": len(made),
            "blocks": digests(made if ordered else sorted(made))}


def make(folder):
    """Writes peer.jsonl in folder, whose words.txt and hybrid-words.txt are
    given. The cases run side by side: each hashcat spends most of its time
    starting."""
    copy_inputs(folder)
    (folder / "functions.rule").write_bytes("".join(f + "\n" for f in FUNCTIONS).encode("latin-1"))
    words = raw_words(folder, "words.txt")
    jobs = [functools.partial(functions_case, folder, words)]
    jobs += [functools.partial(rule_file_case, folder, name, words) for name in RULE_FILES]
    jobs += [functools.partial(mask_case, folder, *case) for case in MASKS]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2 * (os.cpu_count() or 1)) as pool:
        cases = list(pool.map(lambda job: job(), jobs))
    with open(folder / "peer.jsonl", "w", encoding="utf-8") as out:
        for case in cases:
            out.write(json.dumps(case, ensure_ascii=False) + "\n")


def version():
    done = subprocess.run(["hashcat", "--version"], capture_output=True, text=True)
    return done.stdout.strip()


def check_runs():
    """hashcat --stdout itself, before any case: a clear failure, not a diff."""
    if shutil.which("hashcat") is None:
        sys.exit("hashcat_peer.py: hashcat is not installed (Debian packages 'hashcat' and 'ocl-icd-libopencl1')")
    done = subprocess.run(["hashcat", "--stdout", "-a", "3", "--session", f"trirotor-probe-{os.getpid()}", "?d"],
                          capture_output=True)
    if done.returncode != 0 or sorted(done.stdout.split()) != [str(d).encode() for d in range(10)]:
        sys.exit("hashcat_peer.py: 'hashcat --stdout -a 3 ?d' does not run here "
                 f"(status {done.returncode}): {done.stderr.decode(errors='replace').strip()}\n"
                 "hashcat opens an OpenCL loader at start-up even for --stdout: install ocl-icd-libopencl1")


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in ("make", "check"):
        sys.exit(__doc__)
    check_runs()
    print(f"hashcat_peer.py: {version()}")
    if sys.argv[1] == "make":
        make(DATA)
        print(f"hashcat_peer.py: wrote {DATA / 'peer.jsonl'}")
        return
    with tempfile.TemporaryDirectory() as scratch:
        folder = pathlib.Path(scratch)
        for name in ("words.txt", "hybrid-words.txt"):
            shutil.copyfile(DATA / name, folder / name)
        make(folder)
        differ = []
        for path in sorted(p.relative_to(folder) for p in folder.rglob("*") if p.is_file()):
            if not (DATA / path).exists() or (folder / path).read_bytes() != (DATA / path).read_bytes():
                differ.append(str(path))
        if differ:
            subprocess.run(["diff", "-u", str(DATA / "peer.jsonl"), str(folder / "peer.jsonl")])
            sys.exit("hashcat_peer.py: hashcat now makes other data than tests/data/hashcat holds: "
                     + ", ".join(differ) + "\n(a new hashcat, or changed cases: run 'scripts/hashcat_peer.py make', "
                     "read the difference, and commit it if hashcat is right)")
    print("hashcat_peer.py: hashcat makes exactly the committed peer data")


if __name__ == "__main__":
    main()
