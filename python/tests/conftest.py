import json
import os
import pathlib
import shutil
import subprocess

import pytest

trirotor = pytest.importorskip("trirotor")

SOURCE_DIR = pathlib.Path(os.environ.get("TRIROTOR_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))


@pytest.fixture(scope="session")
def source_dir() -> pathlib.Path:
    return SOURCE_DIR


@pytest.fixture(scope="session")
def tool() -> str:
    path = os.environ.get("TRIROTOR_TOOL") or shutil.which("trirotor")
    if not path:
        pytest.skip("the trirotor tool is not built (set TRIROTOR_TOOL)")
    return path


def run_tool_jsonl(tool: str, mode: str, data: bytes, key: str | None = None, *extra: str) -> list[str]:
    """The tool's --jsonl output lines for the input `data`."""
    env = dict(os.environ)
    args = [tool, mode, "--jsonl", "--quiet", *extra]
    if key is not None:
        env["TRIROTOR_TEST_KEY"] = key
        args += ["--key-env", "TRIROTOR_TEST_KEY"]
    done = subprocess.run(args, input=data, capture_output=True, env=env, check=False)
    assert done.returncode in (0, 3), done.stderr.decode()
    return done.stdout.decode("utf-8").splitlines()


@pytest.fixture(scope="session")
def vectors(source_dir) -> list[dict]:
    with open(source_dir / "tests" / "data" / "vectors.jsonl", encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]
