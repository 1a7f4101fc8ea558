"""The page offers the code pages the native build offers, and each gives
every byte the same character in the WebAssembly engine as natively."""
import json
import shutil
import subprocess

import pytest

NODE = shutil.which("node") or shutil.which("nodejs")

WASM_TABLES = """
const load = require(process.argv[1]);
load().then((engine) => {
  for (const {number} of engine.supportedCodePages()) {
    const outcome = engine.codePageTable(number);
    console.log(JSON.stringify(outcome.text ? {page: number, chars: Array.from(outcome.text)}
                                            : {page: number, error: 'refused'}));
  }
});
"""


def as_rows(text):
    return {row["page"]: row for row in map(json.loads, text.splitlines())}


@pytest.fixture(scope="module")
def native(native_tables):
    return as_rows(native_tables([]))


@pytest.mark.skipif(NODE is None, reason="needs Node.js")
def test_every_page_gives_the_native_characters(page_build, native):
    wasm = as_rows(subprocess.run([NODE, "-e", WASM_TABLES, str(page_build / "trirotor_engine.js")],
                                  check=True, capture_output=True, text=True).stdout)
    assert {1252, 874, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 28591} <= set(native)
    assert sorted(wasm) == sorted(native)
    for page in native:
        assert wasm[page] == native[page], f"code page {page} differs"
        assert len(set(native[page]["chars"])) == 256  # one character per byte, and back


def test_the_page_lists_the_native_pages_with_1252_chosen(page, native):
    options = page.execute_script(
        "return [...document.getElementById('codepage').options].map((o) => [Number(o.value), o.selected]);")
    assert [number for number, _ in options] == sorted(native)
    assert [number for number, selected in options if selected] == [1252]
