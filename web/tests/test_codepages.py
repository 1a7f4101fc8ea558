"""The page offers the code pages the native build offers, and each gives
every byte the same character in the WebAssembly engine as natively.
Windows' ANSI pages convert in the WebAssembly engine as Microsoft's own
files say, read here on their own: every byte by MBTABLE, every character
by WCTABLE (best fit included), anything else as '?'."""
import json
import pathlib
import shutil
import subprocess

import pytest

NODE = shutil.which("node") or shutil.which("nodejs")
ROOT = pathlib.Path(__file__).resolve().parents[2]
MICROSOFT = ROOT / "platform" / "windows-codepages"
WINDOWS_PAGES = (874, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258)
QUESTION_MARK = 0x3F

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

# Each request of the file named second: {page, text: [UTF-16 units]}; one
# answer line for each: {page, bytes} or {page, error}.
WASM_BYTES = """
const load = require(process.argv[1]);
const requests = JSON.parse(require('fs').readFileSync(process.argv[2], 'utf8'));
load().then((engine) => {
  for (const {page, text} of requests) {
    const outcome = engine.codePageBytes(page, Uint16Array.from(text));
    console.log(JSON.stringify(outcome.bytes ? {page, bytes: Array.from(outcome.bytes)} : {page, error: outcome}));
  }
});
"""

needs_node = pytest.mark.skipif(NODE is None, reason="needs Node.js")


def as_rows(text):
    return {row["page"]: row for row in map(json.loads, text.splitlines())}


def engine_script(page_build):
    return str((page_build / "trirotor_engine.js").resolve())


def microsoft_tables(page):
    """(byte -> unit, unit -> byte) from MBTABLE and WCTABLE of Microsoft's file."""
    tables = {"MBTABLE": {}, "WCTABLE": {}}
    section = None
    for line in (MICROSOFT / f"bestfit{page}.txt").read_text(encoding="latin-1").splitlines():
        fields = line.split(";", 1)[0].split()
        if not fields:
            continue
        if not fields[0].startswith("0x"):
            section = fields[0] if fields[0] in tables else None
            continue
        if section:
            source, target = int(fields[0], 16), int(fields[1], 16)
            tables[section][source] = target
    return tables["MBTABLE"], tables["WCTABLE"]


@pytest.fixture(scope="module")
def native(native_tables):
    return as_rows(native_tables([]))


@needs_node
def test_every_page_gives_the_native_characters(page_build, native):
    wasm = as_rows(subprocess.run([NODE, "-e", WASM_TABLES, engine_script(page_build)],
                                  check=True, capture_output=True, text=True).stdout)
    assert {1252, 874, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 28591} <= set(native)
    # ISO-8859-1 to -16, there being no -12.
    assert {28590 + part for part in range(1, 17) if part != 12} <= set(native)
    assert sorted(wasm) == sorted(native)
    for page in native:
        assert wasm[page] == native[page], f"code page {page} differs"
        assert len(set(native[page]["chars"])) == 256  # one character per byte, and back


@pytest.fixture(scope="module")
def wasm_bytes(page_build, tmp_path_factory):
    """What the WebAssembly engine makes of texts: {(page, text as a tuple of units): bytes}."""
    def convert(requests):
        path = tmp_path_factory.mktemp("requests") / "requests.json"
        path.write_text(json.dumps([{"page": page, "text": list(text)} for page, text in requests]))
        out = subprocess.run([NODE, "-e", WASM_BYTES, engine_script(page_build), str(path)],
                             check=True, capture_output=True, text=True).stdout
        answers = [json.loads(line) for line in out.splitlines()]
        assert len(answers) == len(requests)
        for answer in answers:
            assert "bytes" in answer, answer
        return [answer["bytes"] for answer in answers]
    return convert


@needs_node
@pytest.mark.parametrize("page", WINDOWS_PAGES)
def test_windows_pages_convert_by_microsofts_tables(page_build, native, wasm_bytes, page):
    to_wide, from_wide = microsoft_tables(page)
    assert len(to_wide) == 256 and len(from_wide) > 256
    # Bytes to characters: MBTABLE, for all 256.
    assert native[page]["chars"] == [to_wide[b] for b in range(256)]
    # Characters to bytes: every UTF-16 unit on its own, as one text.
    [got] = wasm_bytes([(page, range(65536))])
    round_trip = {unit: byte for byte, unit in to_wide.items()}
    wrong = []
    for unit in range(65536):
        if unit in from_wide:
            want = from_wide[unit]          # the byte's own character, or Windows' best fit
        elif unit in round_trip:
            want = round_trip[unit]         # every byte's character gives the byte back
        else:
            want = QUESTION_MARK            # in neither table
        if got[unit] != want:
            wrong.append(f"U+{unit:04X} -> 0x{got[unit]:02X}, not 0x{want:02X}")
    assert wrong == [], f"code page {page}: {len(wrong)} units differ, first {wrong[:5]}"


@needs_node
@pytest.mark.parametrize("page, text, want", [
    (1252, "ł", b"l"),                     # best fit: a look-alike
    (1252, "Łódź", b"L\xf3dz"),
    (1252, "Ａ０＝", b"A0="),               # fullwidth forms
    (1252, "∞‐", b"8-"),
    (1252, "😀", b"??"),                   # a surrogate pair: two units, two '?'
    (1252, "Ж日", b"??"),                   # no look-alike
    (1250, "ł", b"\xb3"),                   # the page's own letter, not a look-alike
    (1251, "Ж", b"\xc6"),
    (1253, "ł", b"l"),
], ids=lambda value: repr(value) if isinstance(value, str) else None)
def test_look_alikes_as_windows_writes_them(wasm_bytes, page, text, want):
    units = text.encode("utf-16-le")
    [got] = wasm_bytes([(page, [int.from_bytes(units[i:i + 2], "little") for i in range(0, len(units), 2)])])
    assert bytes(got) == want


def test_the_page_lists_the_native_pages_with_1252_chosen(page, native):
    options = page.execute_script(
        "return [...document.getElementById('codepage').options].map((o) => [Number(o.value), o.selected]);")
    assert [number for number, _ in options] == sorted(native)
    assert [number for number, selected in options if selected] == [1252]


def test_the_page_marks_the_pages_with_windows_tables(page, native):
    labels = dict(page.execute_script(
        "return [...document.getElementById('codepage').options].map((o) => [Number(o.value), o.textContent]);"))
    marked = {number for number, label in labels.items() if "Windows' own tables, best fit included" in label}
    assert marked == set(WINDOWS_PAGES)
