"""The page in headless Chromium, served and as the single file from disk
offline: the shipped examples, the failures in the engine's own words,
round trips through the code pages, progress, the busy pointer, Abort and
Copy."""
import json
import os
import pathlib
import random
import re
import subprocess
import time

import pytest
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = pathlib.Path(os.environ.get("TRIROTOR_EXAMPLES", ROOT / "examples")).resolve()
VECTORS = ROOT / "tests" / "data" / "vectors.jsonl"
FRAME_LINE = "Failed decoding the text (Error 33)"
FRAME_HINT = "wrong key or key suffix, or the input is not a whole message"
DAMAGED_HINT = "the message is damaged"


def key_file(path):
    """A key file's text as the tool takes it: one trailing line end dropped."""
    text = path.read_text(encoding="utf-8") if path.exists() else ""
    return re.sub(r"\r?\n\Z", "", text)


def fill(driver, element_id, value):
    driver.execute_script(
        "const e = document.getElementById(arguments[0]); e.value = arguments[1];"
        "e.dispatchEvent(new Event('input', {bubbles: true}));", element_id, value)


def set_code_page(driver, page):
    driver.execute_script("document.getElementById('codepage').value = arguments[0];", str(page))


def status(driver):
    return driver.execute_script(
        "return [document.getElementById('status-line').textContent,"
        " document.getElementById('status-hint').textContent];")


def result(driver):
    return driver.execute_script("return document.getElementById('result').value;")


def run(driver, button, timeout=60):
    driver.find_element(By.ID, button).click()
    WebDriverWait(driver, timeout).until(
        lambda d: d.find_element(By.ID, "decode").is_enabled() and status(d)[0] != "Working…")
    return status(driver)


def open_file(driver, path):
    driver.find_element(By.ID, "file").send_keys(str(path))
    WebDriverWait(driver, 30).until(lambda d: status(d)[0] == f"Loaded {path.name}.")


def decode_file(driver, path, key, suffix=""):
    open_file(driver, path)
    fill(driver, "key", key)
    fill(driver, "suffix", suffix)
    return run(driver, "decode")


def saved(driver, downloads, name):
    for old in downloads.iterdir():
        old.unlink()
    driver.find_element(By.ID, "save").click()
    target = downloads / name
    WebDriverWait(driver, 30).until(lambda d: target.exists() and not list(downloads.glob("*.crdownload")))
    return target.read_bytes()


@pytest.mark.parametrize("name", ["hello", "long", "suffixed"])
def test_shipped_examples_decode_to_their_text(page, downloads, name):
    line, hint = decode_file(page, EXAMPLES / f"{name}.b64", key_file(EXAMPLES / f"{name}.key"),
                             key_file(EXAMPLES / f"{name}.suffix"))
    expected = (EXAMPLES / f"{name}.txt").read_bytes()
    assert line.startswith("Decoded ") and hint == ""
    assert result(page) == expected.decode("utf-8")
    assert saved(page, downloads, f"{name}.txt") == expected


def error_vectors():
    """Messages that get through the frame check and then fail in the engine."""
    cases = []
    for row in VECTORS.read_text(encoding="utf-8").splitlines():
        vector = json.loads(row)
        if vector["expect"] == "error" and vector["key"] and re.fullmatch(r"[A-Za-z0-9+/=]{4,}", vector["message"]):
            cases.append(pytest.param(vector, id=vector["name"]))
    return cases[:4]


@pytest.mark.parametrize("case", [
    # (what, key, expected line, expected hint)
    ("wrong key", "not the key", FRAME_LINE, FRAME_HINT),
    ("right key, wrong suffix", None, FRAME_LINE, FRAME_HINT),
], ids=lambda case: case[0])
def test_a_message_that_does_not_open_says_error_33(page, case):
    _, key, want_line, want_hint = case
    source = EXAMPLES / "suffixed.b64"
    suffix = "not the suffix" if key is None else key_file(EXAMPLES / "suffixed.suffix")
    key = key_file(EXAMPLES / "suffixed.key") if key is None else key
    assert decode_file(page, source, key, suffix) == [want_line, want_hint]
    assert result(page) == ""


def fullwidth(character):
    """The fullwidth form of a printable ASCII character, which 1252 takes as it."""
    return chr(0xFF01 + ord(character) - 0x21) if "!" <= character <= "~" else character


@pytest.mark.parametrize("fullwidth_first", [False, True], ids=["typed", "fullwidth first character"])
@pytest.mark.parametrize("vector", error_vectors())
def test_a_damaged_message_shows_the_engine_error(page, vector, fullwidth_first):
    key = vector["key"]
    if fullwidth_first:
        key = fullwidth(key[0]) + key[1:]
    set_code_page(page, 1252)
    fill(page, "input", vector["message"])
    fill(page, "key", key)
    fill(page, "suffix", vector["suffix"])
    line, hint = run(page, "decode")
    assert line.startswith(f"Error {vector['error_number']} in "), line
    assert hint == DAMAGED_HINT
    assert result(page) == ""
    # The same bytes for the key, and a word of how it got them.
    said = warnings(page)
    if key == vector["key"]:
        assert said == ""
    else:
        assert said == f"Warning: U+{ord(key[0]):04X} '{key[0]}' is not in code page 1252; it was taken as " \
                       f"'{vector['key'][0]}', as Windows does."


def checksum_vectors():
    """Messages whose payload fails its checksum; the text still comes out."""
    cases = []
    for row in VECTORS.read_text(encoding="utf-8").splitlines():
        vector = json.loads(row)
        plain = bytes.fromhex(vector.get("plain_hex") or "")
        if (vector.get("last_error") == 5 and plain and max(plain) < 0x80
                and re.fullmatch(r"[A-Za-z0-9+/=]{4,}", vector["message"])):
            cases.append(pytest.param(vector, id=vector["name"]))
    return cases[:3]


@pytest.mark.parametrize("vector", checksum_vectors())
def test_a_checksum_mismatch_says_error_5_and_shows_the_text(page, downloads, vector):
    fill(page, "input", vector["message"])
    fill(page, "key", vector["key"])
    fill(page, "suffix", vector["suffix"])
    assert run(page, "decode") == ["Compression checksum error (Error 5)", ""]
    # Saved, since the result pane shows a carriage return as a line feed.
    assert saved(page, downloads, "message.txt") == bytes.fromhex(vector["plain_hex"])


def test_a_dropped_file_is_decoded(page):
    page.execute_script("""
      const transfer = new DataTransfer();
      transfer.items.add(new File([arguments[0]], 'dropped.b64'));
      document.dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true, cancelable: true}));""",
        (EXAMPLES / "hello.b64").read_text(encoding="ascii"))
    WebDriverWait(page, 30).until(lambda d: status(d)[0] == "Loaded dropped.b64.")
    fill(page, "key", key_file(EXAMPLES / "hello.key"))
    assert run(page, "decode")[0].startswith("Decoded ")
    assert result(page) == (EXAMPLES / "hello.txt").read_text(encoding="utf-8")


@pytest.mark.parametrize("code_page, key, text", [
    (1252, "Schlüssel", "Grüße aus Köln – 5 € für Œuvres, naïve café\nzweite Zeile"),
    (1251, "ключ", "Съешь же ещё этих мягких французских булок, да выпей чаю — №5"),
])
def test_encode_then_decode_gives_the_text_back(page, code_page, key, text):
    set_code_page(page, code_page)
    fill(page, "input", text)
    fill(page, "key", key)
    line, _ = run(page, "encode")
    assert line.startswith("Encoded into a message of "), line
    message = result(page)
    assert re.fullmatch(r"[A-Za-z0-9+/=\n]+", message)
    fill(page, "input", message)
    assert run(page, "decode")[0].startswith("Decoded ")
    assert result(page) == text
    # The same message read through another page gives other characters.
    set_code_page(page, 1252 if code_page == 1251 else 1251)
    run(page, "decode")
    assert result(page) != text


@pytest.mark.parametrize("code_page, text, key, suffix, where, what", [
    # The text: placed by line and column, as the tool places it.
    (1252, "Привет", "k", "", "line 1, column 1: U+041F 'П' has no place in code page 1252", "would be lost"),
    (1252, "ab\ncd😀ł", "k", "", "line 2, column 3: U+1F600 '😀' has no place in code page 1252", "would be lost"),
    (1252, "ab\nc\nxł", "k", "", "line 3, column 2: U+0142 'ł' has no place in code page 1252", "would become 'l'"),
    (28591, "5 €", "k", "", "line 1, column 3: U+20AC '€' has no place in code page 28591", "would be lost"),
    # The key and the suffix: placed by character, with the look-alike named.
    (1252, "text", "Łódź", "", "character 1 of the key: U+0141 'Ł' has no place in code page 1252",
     "sealed as its look-alike 'L'"),
    (1252, "text", "key", "s日", "character 2 of the key suffix: U+65E5 '日' has no place in code page 1252",
     "sealed as '?'"),
], ids=["Cyrillic text", "emoji on line 2", "look-alike in the text", "Latin-1", "key", "suffix"])
def test_a_character_the_code_page_lacks_is_refused(page, code_page, text, key, suffix, where, what):
    set_code_page(page, code_page)
    fill(page, "input", text)
    fill(page, "key", key)
    fill(page, "suffix", suffix)
    line, _ = run(page, "encode")
    assert line.startswith(f"Cannot encode: {where} and "), line
    assert what in line and line.endswith("."), line
    assert result(page) == ""


def warnings(driver):
    return driver.execute_script("return document.getElementById('status-warnings').textContent;")


@pytest.fixture(scope="session")
def look_alike_message(options, tmp_path_factory):
    """(text, message) sealed by the native tool with the key "Lódz-2004": the
    bytes a Western system gave the typed key "Łódź-2004"."""
    folder = tmp_path_factory.mktemp("look-alike")
    (folder / "note.txt").write_text("Treffen um acht.\n", encoding="utf-8")
    subprocess.run([options.getoption("--tool"), "encode", "--key", "Lódz-2004", "-o", str(folder / "note.b64"),
                    str(folder / "note.txt")], check=True)
    return "Treffen um acht.\n", (folder / "note.b64").read_text(encoding="ascii")


def vector(name):
    for row in VECTORS.read_text(encoding="utf-8").splitlines():
        case = json.loads(row)
        if case["name"] == name:
            return case
    raise LookupError(name)


LOOK_ALIKE_L = "Warning: U+0141 'Ł' is not in code page 1252; it was taken as 'L', as Windows does."
LOOK_ALIKE_Z = "Warning: U+017A 'ź' is not in code page 1252; it was taken as 'z', as Windows does."


@pytest.mark.parametrize("case", [
    # (what, key, suffix, status line starts with, warnings)
    ("look-alikes open it", "Łódź-2004", "", "Decoded ", [LOOK_ALIKE_L, LOOK_ALIKE_Z]),
    ("a look-alike said once", "ŁŁódź-2004", "", FRAME_LINE, [LOOK_ALIKE_L, LOOK_ALIKE_Z]),
    ("the sealed bytes, no warning", "Lódz-2004", "", "Decoded ", []),
    ("no look-alike is '?'", "Łódź-2004", "日", FRAME_LINE,
     [LOOK_ALIKE_L, LOOK_ALIKE_Z, "Warning: U+65E5 '日' has no place in code page 1252 and was taken as '?'."]),
], ids=lambda case: case[0])
def test_key_characters_outside_the_page_are_warned_of(page, look_alike_message, case):
    _, key, suffix, want_line, want_warnings = case
    text, message = look_alike_message
    set_code_page(page, 1252)
    fill(page, "input", message)
    fill(page, "key", key)
    fill(page, "suffix", suffix)
    line, _ = run(page, "decode")
    assert line.startswith(want_line), line
    assert warnings(page).splitlines() == want_warnings
    assert result(page) == (text if want_line == "Decoded " else "")
    # The next run's status is its own.
    fill(page, "key", "Lódz-2004")
    fill(page, "suffix", "")
    assert run(page, "decode")[0].startswith("Decoded ") and warnings(page) == ""


@pytest.mark.parametrize("name", ["key-unmappable-01-key-unmappable", "b64-best-fit-00-best-fit-digits",
                                  "b64-best-fit-02-best-fit-digits"])
def test_vectors_with_characters_outside_the_page_open(page, downloads, native_tables, name):
    case = vector(name)
    set_code_page(page, 1252)
    fill(page, "input", case["message"])
    fill(page, "key", case["key"])
    fill(page, "suffix", case["suffix"])
    assert run(page, "decode")[0].startswith("Decoded ")
    # Only the key's characters are warned of, never the message's.
    assert (warnings(page) != "") == (name.startswith("key-"))
    # The text: the plain bytes as 1252 gives them, saved as UTF-8.
    chars = json.loads(native_tables([1252]))["chars"]
    want = "".join(chr(chars[b]) for b in bytes.fromhex(case["plain_hex"]))
    assert saved(page, downloads, "message.txt") == want.encode("utf-8")


def test_the_busy_pointer_shows_while_decrypting_and_goes(page):
    page.execute_script("""
      window.__pointer = [];
      new MutationObserver(() => window.__pointer.push(
          getComputedStyle(document.getElementById('input')).cursor))
        .observe(document.documentElement, {attributes: true, attributeFilter: ['class']});""")
    decode_file(page, EXAMPLES / "long.b64", key_file(EXAMPLES / "long.key"))
    seen = page.execute_script("return window.__pointer;")
    assert seen[0] == "wait" and seen[-1] != "wait", seen
    assert page.execute_script("return getComputedStyle(document.body).cursor;") == "auto"


@pytest.fixture(scope="session")
def large_message(options, tmp_path_factory):
    """About 30 MB of base64 from the native tool."""
    folder = tmp_path_factory.mktemp("large")
    generator = random.Random(14)
    words = ["".join(generator.choice("abcdefghijklmnopqrstuvwxyzäöü") for _ in range(generator.randint(2, 9)))
             for _ in range(5000)]
    line = " ".join(generator.choice(words) for _ in range(400000)) + "\n"
    (folder / "large.txt").write_text(line * 14, encoding="utf-8")
    subprocess.run([options.getoption("--tool"), "encode", "--key", "large", "-o", str(folder / "large.b64"),
                    str(folder / "large.txt")], check=True)
    assert (folder / "large.b64").stat().st_size > 20_000_000
    return folder / "large.b64"


def test_a_large_message_shows_progress_and_abort_stops_it(page, large_message):
    open_file(page, large_message)
    fill(page, "key", "large")
    # Abort from the page's own thread once progress passes 20 %, and time
    # how long the page takes to stand still and say so.
    page.execute_script("""
      window.__progress = [];
      window.__abortTook = null;
      const bar = document.getElementById('progress');
      const watcher = new MutationObserver(() => {
        window.__progress.push(bar.value);
        if (bar.value >= 20 && window.__abortTook === null) {
          watcher.disconnect();
          const start = performance.now();
          document.getElementById('abort').click();
          window.__abortTook = performance.now() - start;
          window.__busyAfter = document.documentElement.classList.contains('busy');
        }
      });
      watcher.observe(bar, {attributes: true, attributeFilter: ['value']});""")
    page.find_element(By.ID, "decode").click()
    WebDriverWait(page, 120).until(lambda d: d.execute_script("return window.__abortTook !== null;"))
    progress = page.execute_script("return window.__progress;")
    assert len(set(progress)) >= 5 and progress == sorted(progress), progress
    assert page.execute_script("return window.__abortTook;") < 100
    assert page.execute_script("return window.__busyAfter;") is False
    assert status(page) == ["Aborted", ""]
    assert result(page) == ""
    # The keyboard user lands on Decode once the fresh engine is up.
    WebDriverWait(page, 30).until(lambda d: d.find_element(By.ID, "decode").is_enabled())
    assert page.execute_script("return document.activeElement.id;") == "decode"
    # A fresh engine takes over at once and decodes.
    assert decode_file(page, EXAMPLES / "hello.b64", key_file(EXAMPLES / "hello.key"))[0].startswith("Decoded ")


@pytest.fixture(scope="session")
def copied_message(options, tmp_path_factory):
    """(text, message file): a text the result pane cannot show as it is, longer
    than it shows, with CRLF line ends and characters past ASCII."""
    folder = tmp_path_factory.mktemp("copy")
    text = "".join(f"Zeile {i}: Grüße – 5 €\r\n" for i in range(45000))
    assert len(text) > 1_000_000
    (folder / "copy.txt").write_bytes(text.encode("utf-8"))
    subprocess.run([options.getoption("--tool"), "encode", "--key", "copy", "-o", str(folder / "copy.b64"),
                    str(folder / "copy.txt")], check=True)
    return text, folder / "copy.b64"


READ_CLIPBOARD = """
  const done = arguments[arguments.length - 1];
  navigator.clipboard.readText().then(done, (error) => done('unreadable: ' + error));"""


@pytest.mark.parametrize("refuse, copied", [
    # (what the page cannot use, whether the text lands on the clipboard)
    ("", True),                                  # the clipboard API
    ("writeText", True),                         # API refused: the copy command
    ("writeText execCommand", False),            # both refused: the user is told
], ids=["clipboard", "copy-command", "refused"])
def test_copy_puts_the_whole_text_on_the_clipboard(page, copied_message, refuse, copied):
    text, message = copied_message
    page.execute_cdp_cmd("Browser.grantPermissions",
                         {"permissions": ["clipboardReadWrite", "clipboardSanitizedWrite"]})
    assert decode_file(page, message, "copy")[0] == f"Decoded {len(text):,} characters."
    page.execute_async_script("""
      const [refuse, done] = arguments;
      navigator.clipboard.writeText('before').then(() => {
        if (refuse.includes('writeText')) {
          navigator.clipboard.writeText = () => Promise.reject(new DOMException('refused', 'NotAllowedError'));
        }
        if (refuse.includes('execCommand')) document.execCommand = () => false;
        done();
      });""", refuse)
    page.find_element(By.ID, "copy").click()
    WebDriverWait(page, 30).until(lambda d: status(d)[0].startswith(("Copied", "Cannot")))
    bad = page.execute_script("return document.getElementById('status').classList.contains('bad');")
    if copied:
        assert status(page) == [f"Copied {len(text):,} characters.", ""] and not bad
        got = page.execute_async_script(READ_CLIPBOARD)
        # Compared apart: a diff of two million-character texts takes minutes.
        whole = got == text
        at = next((i for i, (a, b) in enumerate(zip(got, text)) if a != b), min(len(got), len(text)))
        assert whole, f"{len(got):,} of {len(text):,} characters, first difference at {at}: {got[at:at + 20]!r}"
    else:
        assert status(page) == ["Cannot reach the clipboard here: use Save to keep the whole result.", ""] and bad
        assert page.execute_async_script(READ_CLIPBOARD) == "before"


def test_readable_at_320_pixels_and_every_field_labelled(page):
    page.set_window_size(320, 800)
    width = page.execute_script("return document.documentElement.scrollWidth;")
    viewport = page.execute_script("return document.documentElement.clientWidth;")
    assert width <= viewport
    unlabelled = page.execute_script("""
      return [...document.querySelectorAll('input, select, textarea, progress')]
        .filter((e) => e.labels.length === 0 && !e.getAttribute('aria-label')).map((e) => e.id);""")
    assert unlabelled == []


def test_the_key_is_masked_until_shown(page):
    key = page.find_element(By.ID, "key")
    show = page.find_element(By.ID, "show-key")
    assert key.get_attribute("type") == "password"
    show.click()
    assert key.get_attribute("type") == "text" and show.get_attribute("aria-pressed") == "true"
    show.click()
    assert key.get_attribute("type") == "password"


def test_enter_in_the_key_field_decodes(page):
    open_file(page, EXAMPLES / "hello.b64")
    page.find_element(By.ID, "key").send_keys(key_file(EXAMPLES / "hello.key") + Keys.ENTER)
    WebDriverWait(page, 30).until(lambda d: status(d)[0] != "Loaded hello.b64." and status(d)[0] != "Working…")
    assert status(page)[0].startswith("Decoded "), status(page)
    assert result(page) == (EXAMPLES / "hello.txt").read_text(encoding="utf-8")


def test_screenshot(page, options):
    path = options.getoption("--screenshot")
    if not path:
        pytest.skip("no --screenshot path")
    decode_file(page, EXAMPLES / "hello.b64", key_file(EXAMPLES / "hello.key"))
    page.set_window_size(900, 1350)
    page.execute_script("document.activeElement.blur(); window.scrollTo(0, 0);")
    time.sleep(0.2)  # let the resize lay out before the picture
    page.save_screenshot(path)
