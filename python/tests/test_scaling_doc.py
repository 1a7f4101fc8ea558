"""The blocks of docs/scaling.md, run as written on records made from the
shipped examples: each must write what the tool writes for them."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

import pytest

from conftest import run_tool_jsonl

KEY = "doc key"


def blocks(source_dir, key_search=False):
    """The recipes that decode records, or (key_search) those of the key
    search section, which needs a cluster of its own and a sealed message."""
    text = (source_dir / "docs" / "scaling.md").read_text(encoding="utf-8")
    records, search = text.split("## Dask: a key search", 1)
    search = search.split("\n## ", 1)[0]
    return re.findall(r"```(sh|python)\n(.*?)```", search if key_search else records, re.S)


def test_the_key_search_recipes_are_code(source_dir):
    found = blocks(source_dir, key_search=True)
    assert [kind for kind, _ in found] == ["python", "sh"]
    compile(found[0][1], "scaling.md", "exec")  # it needs a scheduler; bench/dask_recover.py runs the same
    assert found[1][1].split()[-2:] == ["bench/dask_recover.py", "'?l?l?l?l?d'"]


@pytest.fixture(scope="module")
def inbox(source_dir, tool):
    import trirotor

    examples = source_dir / "examples"
    lines = []
    for i in range(3000):
        name = ("hello", "suffixed")[i % 2] if i % 1000 else "long"  # long: 320 KB
        key = (examples / f"{name}.key").read_text(encoding="utf-8").rstrip("\r\n")
        suffix_file = examples / f"{name}.suffix"
        record = {"id": f"{name}-{i}", "key": key}
        if suffix_file.exists():
            record["suffix"] = suffix_file.read_text(encoding="utf-8").rstrip("\r\n")
        if name == "long":
            record["message"] = (examples / "long.b64").read_text(encoding="ascii")
        else:  # fresh messages of the examples' texts: many records of some size
            text = (examples / f"{name}.txt").read_text(encoding="utf-8") * (1 + i % 5)
            record["message"] = trirotor.encode(text, key, record.get("suffix", ""), wrap=0)
        lines.append(json.dumps(record, ensure_ascii=False) + "\n")
    data = "".join(lines).encode("utf-8")
    return data, run_tool_jsonl(tool, "decode", data, KEY)


def test_every_recipe_runs_as_written(source_dir, tool, inbox, tmp_path):
    data, expected = inbox
    env = dict(os.environ, TRIROTOR_KEY=KEY)
    env["PATH"] = str(pathlib.Path(tool).resolve().parent) + os.pathsep + env["PATH"]
    found = blocks(source_dir)
    assert [kind for kind, _ in found] == ["sh", "sh", "python"]
    for n, (kind, code) in enumerate(found):
        if "parallel" in code and shutil.which("parallel") is None:
            continue  # GNU parallel not installed here; CI installs it
        if kind == "python":
            pytest.importorskip("distributed")
        work = tmp_path / str(n)
        work.mkdir()
        (work / "inbox.jsonl").write_bytes(data)
        command = ["bash", "-euo", "pipefail", "-c", code] if kind == "sh" else [sys.executable, "-c", code]
        start = time.monotonic()
        done = subprocess.run(command, cwd=work, env=env, capture_output=True, timeout=600)
        print(f"block {n}: {time.monotonic() - start:.1f} s")
        assert done.returncode == 0, (code, done.stderr.decode()[-2000:])
        if (work / "opened").is_dir():
            parts = sorted((work / "opened").iterdir(), key=lambda p: int(p.stem))
            out = b"".join(p.read_bytes() for p in parts)
        else:
            out = (work / "opened.jsonl").read_bytes()
        assert out.decode("utf-8").splitlines() == expected, code
