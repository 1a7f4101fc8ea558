"""Several files at once in the page: a folder picked or dropped, or files dropped,
decoded with one key into a table of outcomes and one zip of the texts and
the report, held to what the tool's archive run makes of the same files."""
import base64
import copy
import hashlib
import io
import json
import pathlib
import re
import subprocess
import zipfile

import jsonschema
import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

import test_page
from test_page import VECTORS, fill, status

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCHEMA = json.loads((ROOT / "docs" / "report.schema.json").read_text(encoding="utf-8"))
ZIP_NAME = "trirotor-texts.zip"
large_message = test_page.large_message  # the fixture, shared


def damaged_vector():
    """A message that gets through the frame check and then fails in the engine."""
    for row in VECTORS.read_text(encoding="utf-8").splitlines():
        vector = json.loads(row)
        if vector["expect"] == "error" and vector["key"] and re.fullmatch(r"[A-Za-z0-9+/=]{4,}", vector["message"]):
            return vector
    raise AssertionError("no damaged vector")


VECTOR = damaged_vector()

# (path in the folder, what it holds, outcome, text the zip holds or None).
# The messages are sealed by the tool with the damaged vector's key and
# suffix, the run's key, but for the one sealed with another key.
FILES = [
    ("2003/a.b64", ("seal", "First letter.\r\nSecond line.\r\n"), "opened", "First letter.\r\nSecond line.\r\n"),
    ("2003/b/c.msg", ("seal", "Grüße aus Köln – 5 €"), "opened", "Grüße aus Köln – 5 €"),
    ("2004/wrong.b64", ("seal with", "another key", "not for this key"), "wrong key or suffix", None),
    ("damaged.b64", ("bytes", VECTOR["message"].encode("ascii")), "damaged", None),
    ("junk.bin", ("bytes", b"ABCD\x01\x02 junk"), "not a message", None),
    ("notes.txt", ("bytes", "?!?! — ??".encode("utf-8")), "not a message", None),
]


def relaxed_schema():
    """The tool's schema less what a browser cannot know: where the files lie on disk."""
    schema = copy.deepcopy(SCHEMA)
    line = schema["definitions"]["input"]
    line["required"].remove("inputRoot")
    line["dependencies"]["outputSha256"].remove("outputRoot")
    return schema


def seal(tool, text, key, suffix):
    # No "--suffix=" for an empty suffix: the option would take the next argument.
    return subprocess.run([tool, "encode", f"--key={key}", *([f"--suffix={suffix}"] if suffix else []), "-q"],
                          input=text.encode("utf-8"), capture_output=True, check=True).stdout


@pytest.fixture
def folder(tmp_path, options):
    """The files of FILES under tmp_path/picked, flat (names only) under tmp_path/flat."""
    tool = options.getoption("--tool")
    made = {}
    for path, (how, *what), _, _ in FILES:
        if how == "seal":
            made[path] = seal(tool, what[0], VECTOR["key"], VECTOR["suffix"])
        elif how == "seal with":
            made[path] = seal(tool, what[1], what[0], "")
        else:
            made[path] = what[0]
    for layout, name in (("picked", lambda p: p), ("flat", lambda p: p.rsplit("/", 1)[-1])):
        for path, data in made.items():
            target = tmp_path / layout / name(path)
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
    return tmp_path


def tool_report(options, tmp_path, layout):
    """What the tool's archive run writes of the same folder."""
    (tmp_path / "key").write_text(VECTOR["key"], encoding="utf-8")
    (tmp_path / "suffix").write_text(VECTOR["suffix"], encoding="utf-8")
    out = tmp_path / f"out-{layout}"
    out.mkdir()
    report = tmp_path / f"{layout}.jsonl"
    subprocess.run([options.getoption("--tool"), "decode", "--key-file", str(tmp_path / "key"),
                    "--suffix-file", str(tmp_path / "suffix"), "-r", "-q", "--output-dir", str(out),
                    "--report", str(report), str(tmp_path / layout)], capture_output=True)
    return [json.loads(line) for line in report.read_text(encoding="utf-8").splitlines()]


def rows(driver):
    return driver.execute_script(
        "return [...document.querySelectorAll('#batch-rows tr')].map((r) => [...r.cells].map((c) => c.textContent));")


# A dropped folder as the browser hands it over: entries whose folders give
# their children a batch at a time (two here, then an empty batch), and a
# files list that shows the folder as one empty file.
DROP_FOLDER = """
  const fileEntry = (name, data) => ({isFile: true, isDirectory: false, name,
    file: (ok) => ok(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name))});
  const folderEntry = (name, children) => ({isFile: false, isDirectory: true, name, createReader: () => {
    let next = 0;
    return {readEntries: (ok) => setTimeout(() => { ok(children.slice(next, next + 2)); next += 2; }, 0)};
  }});
  const build = (name, tree) => folderEntry(name, Object.entries(tree).map(([child, value]) =>
    typeof value === 'string' ? fileEntry(child, value) : build(child, value)));
  const root = build('picked', arguments[0]);
  const drop = new Event('drop', {bubbles: true, cancelable: true});
  Object.defineProperty(drop, 'dataTransfer', {value: {
    items: [{kind: 'file', webkitGetAsEntry: () => root}], files: [new File([], 'picked')]}});
  document.dispatchEvent(drop);"""


def choose(driver, tmp_path, how):
    if how == "folder":
        driver.find_element(By.ID, "folder").send_keys(str(tmp_path / "picked"))
    elif how == "dropped folder":
        tree = {}
        for f in sorted((tmp_path / "picked").rglob("*")):
            if f.is_file():
                *folders, name = f.relative_to(tmp_path / "picked").parts
                place = tree
                for part in folders:
                    place = place.setdefault(part, {})
                place[name] = base64.b64encode(f.read_bytes()).decode()
        driver.execute_script(DROP_FOLDER, tree)
    else:
        files = sorted((tmp_path / "flat").iterdir())
        driver.execute_script("""
          const transfer = new DataTransfer();
          for (const [name, data] of arguments[0]) {
            transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name));
          }
          document.dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true, cancelable: true}));""",
            [[f.name, base64.b64encode(f.read_bytes()).decode()] for f in files])
    WebDriverWait(driver, 30).until(lambda d: status(d)[0] == f"Loaded {len(FILES)} files.")


@pytest.mark.parametrize("how", ["folder", "drop", "dropped folder"])
def test_several_files_give_a_table_a_zip_and_the_tools_report(page, downloads, options, folder, how):
    layout = "flat" if how == "drop" else "picked"
    shown = (lambda p: p.rsplit("/", 1)[-1]) if how == "drop" else (lambda p: p)
    choose(page, folder, how)
    fill(page, "key", VECTOR["key"])
    fill(page, "suffix", VECTOR["suffix"])
    for old in downloads.iterdir():
        old.unlink()
    page.find_element(By.ID, "decode-all").click()
    WebDriverWait(page, 60).until(lambda d: d.find_element(By.ID, "save-zip").is_enabled())
    summary = "2 opened, 2 failed (1 wrong key or suffix, 1 damaged; 2 not a message)."
    assert status(page)[0] == summary
    assert page.find_element(By.ID, "batch-note").text == summary

    # The table, in the tool's order: a folder's files by name, depth first.
    expected = sorted(FILES, key=lambda f: shown(f[0]).split("/"))
    want_rows = [[shown(p), outcome, f"{len(text.encode('utf-8')):,} bytes" if text else ""]
                 for p, _, outcome, text in expected]
    assert [row[:3] for row in rows(page)] == want_rows

    page.find_element(By.ID, "save-zip").click()
    target = downloads / ZIP_NAME
    WebDriverWait(page, 30).until(lambda d: target.exists() and not list(downloads.glob("*.crdownload")))
    archive = zipfile.ZipFile(io.BytesIO(target.read_bytes()))
    assert archive.testzip() is None
    texts = {re.sub(r"\.[^./]*$", "", shown(p)) + ".txt": t for p, _, _, t in FILES if t is not None}
    assert sorted(archive.namelist()) == sorted([*texts, "report.jsonl"])
    for name, text in texts.items():
        assert archive.read(name) == text.encode("utf-8"), name

    lines = [json.loads(line) for line in archive.read("report.jsonl").decode("utf-8").splitlines()]
    schema = relaxed_schema()
    for line in lines:
        jsonschema.validate(line, schema)
    assert [line.get("eventOutcome") for line in lines] == [f[2] for f in expected] + ["completed"]
    for line in lines[:-1]:
        data = (folder / layout / line["path"]).read_bytes()
        assert (line["size"], line["sha256"]) == (len(data), hashlib.sha256(data).hexdigest())
        if "outputPath" in line:
            assert line["outputSha256"] == hashlib.sha256(archive.read(line["outputPath"])).hexdigest()
    assert lines[-1]["outcomes"]["opened"] == 2 and lines[-1]["files"] == len(FILES) and lines[-1]["exitStatus"] == 5

    # The same lines as the tool's, but for where the files lie and when.
    def comparable(line):
        return {k: v for k, v in line.items()
                if k not in ("inputRoot", "outputRoot", "eventDateTime", "eventEndDateTime")}
    assert [comparable(line) for line in lines] == [comparable(line) for line in tool_report(options, folder, layout)]


@pytest.mark.parametrize("names, refusal", [
    (["a.b64", "a.msg"], "a.b64 and a.msg would both be written to a.txt"),
    (["x", "x.txt"], "x and x.txt would both be written to x.txt"),
    (["a.b.c", "a.b.txt"], "a.b.c and a.b.txt would both be written to a.b.txt"),
])
def test_two_files_that_give_one_text_are_refused_before_any_work(page, tmp_path, names, refusal):
    for name in names:
        (tmp_path / name).write_text("AAAA", encoding="ascii")
    page.find_element(By.ID, "files").send_keys("\n".join(str(tmp_path / name) for name in names))
    WebDriverWait(page, 30).until(lambda d: status(d)[0] == refusal)
    fill(page, "key", "k")
    assert not page.find_element(By.ID, "decode-all").is_enabled()
    assert rows(page) == []


# At 0 ms the Abort comes while the first file is still being read, before
# the engine has it; at 300 ms, while the engine decodes it.
@pytest.mark.parametrize("abort_after_ms", [0, 300])
def test_abort_stops_a_run_of_several_files_and_the_next_run_completes(page, options, tmp_path, large_message,
                                                                       abort_after_ms):
    small = tmp_path / "small.b64"
    small.write_bytes(seal(options.getoption("--tool"), "small", "large", ""))
    page.find_element(By.ID, "files").send_keys(f"{large_message}\n{small}")
    WebDriverWait(page, 30).until(lambda d: status(d)[0] == "Loaded 2 files.")
    fill(page, "key", "large")
    # Abort while the large message, the first in the run, is decoding.
    page.execute_script("""
      document.getElementById('decode-all').click();
      setTimeout(() => document.getElementById('abort').click(), arguments[0]);""", abort_after_ms)
    WebDriverWait(page, 30).until(lambda d: status(d)[0] == "Aborted")
    assert rows(page) == [] and not page.find_element(By.ID, "save-zip").is_enabled()
    WebDriverWait(page, 30).until(lambda d: d.find_element(By.ID, "decode-all").is_enabled())
    page.find_element(By.ID, "decode-all").click()
    WebDriverWait(page, 120).until(lambda d: d.find_element(By.ID, "save-zip").is_enabled())
    assert status(page)[0] == "2 opened, 0 failed."
    assert [row[:2] for row in rows(page)] == [["large.b64", "opened"], ["small.b64", "opened"]]
