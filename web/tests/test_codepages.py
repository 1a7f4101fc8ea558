"""Every code page the page offers gives each byte the same character in the
WebAssembly engine as in the native one."""
import json
import re
import shutil
import subprocess

import pytest

from test_page import ROOT

NODE = shutil.which("node") or shutil.which("nodejs")

WASM_TABLES = """
const load = require(process.argv[1]);
load().then((engine) => {
  for (const page of process.argv.slice(2).map(Number)) {
    const outcome = engine.codePageTable(page);
    console.log(JSON.stringify(outcome.text ? {page, chars: Array.from(outcome.text)}
                                            : {page, error: 'refused'}));
  }
});
"""


def offered_pages():
    script = (ROOT / "web" / "page" / "page.js").read_text(encoding="utf-8")
    block = script[script.index("CODE_PAGES = ["):script.index("];", script.index("CODE_PAGES = ["))]
    return [int(page) for page in re.findall(r"\[(\d+), '", block)]


def as_rows(text):
    return {row["page"]: row for row in map(json.loads, text.splitlines())}


@pytest.mark.skipif(NODE is None, reason="needs Node.js")
def test_every_offered_page_matches_the_native_build(page_build, native_tables):
    pages = offered_pages()
    assert {1252, 874, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 28591} <= set(pages)
    native = as_rows(native_tables(pages))
    wasm = as_rows(subprocess.run([NODE, "-e", WASM_TABLES, str(page_build / "trirotor_engine.js"), *map(str, pages)],
                                  check=True, capture_output=True, text=True).stdout)
    for page in pages:
        assert "error" not in native[page], f"the native build refuses {page}"
        assert wasm[page] == native[page], f"code page {page} differs"
        assert len(set(native[page]["chars"])) == 256  # one character per byte, and back
