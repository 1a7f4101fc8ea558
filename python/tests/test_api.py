"""The package's functions against the engine's vectors, the shipped
examples, and each way a call can end."""

import json
import os
import pathlib
import signal
import threading
import time
import warnings

import pytest

import trirotor
from trirotor import _core, records

WINDOWS_1252_UNASSIGNED = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def text_of_1252(plain: bytes) -> str:
    """The engine's 1252 text: unassigned bytes stand for U+0000 + byte."""
    return "".join(chr(b) if b in WINDOWS_1252_UNASSIGNED else bytes([b]).decode("cp1252") for b in plain)


def load_vectors() -> list[dict]:
    # Read at collection, so that each vector is a test of its own.
    source = pathlib.Path(os.environ.get("TRIROTOR_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
    with open(source / "tests" / "data" / "vectors.jsonl", encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


VECTORS = load_vectors()


def test_vector_file_is_complete():
    assert len(VECTORS) >= 155


def as_1252(message):
    """The message's bytes under code page 1252, and whether they are exactly
    its characters. Look-alikes (fullwidth digits and the like) become base64
    digits only through the engine's own conversion; Python's cp1252 has no
    best fit, so those messages are checked as text alone."""
    as_bytes = message.encode("cp1252", errors="replace")
    return as_bytes, all(c == "?" or b != 0x3F for c, b in zip(message, as_bytes))


@pytest.mark.parametrize("v", VECTORS, ids=[v["name"] for v in VECTORS])
def test_vector(v):
    # Each vector through decode and decode_bytes: text, checksum (lenient and
    # strict), frame and engine errors with the engine's numbers and words.
    message, key, suffix = v["message"], v["key"], v["suffix"]
    as_bytes, plain_1252 = as_1252(message)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", trirotor.KeyCharacterWarning)
        if v["expect"] == "error":
            raised = []
            calls = [(trirotor.decode, message)] + ([(trirotor.decode_bytes, as_bytes)] if plain_1252 else [])
            for call, given in calls:
                with pytest.raises(trirotor.EngineError) as caught:
                    call(given, key, suffix)
                raised.append(caught.value)
            for e in raised:
                assert e.number == v["error_number"]
                for field in ("source", "description"):
                    # What the vector fixes is compared as it stands; what it
                    # leaves open must still be said, and alike by both calls.
                    if v[f"error_{field}"] is not None:
                        assert getattr(e, field) == v[f"error_{field}"]
                    else:
                        assert getattr(e, field)
                        assert getattr(e, field) == getattr(raised[0], field)
            return
        plain = bytes.fromhex(v["plain_hex"])
        if v["last_error"] == 33:
            for strict in (False, True):
                with pytest.raises(trirotor.FrameError) as caught:
                    trirotor.decode(message, key, suffix, strict=strict)
                assert caught.value.number == 33 and str(caught.value) == "Failed decoding the text (Error 33)"
                if plain_1252:
                    with pytest.raises(trirotor.FrameError):
                        trirotor.decode_bytes(as_bytes, key, suffix, strict=strict)
            return
        assert trirotor.decode(message, key, suffix) == text_of_1252(plain)
        if plain_1252:
            assert trirotor.decode_bytes(as_bytes, key, suffix) == plain
        if v["last_error"] == 5:
            with pytest.raises(trirotor.ChecksumError) as caught:
                trirotor.decode(message, key, suffix, strict=True)
            assert caught.value.number == 5 and caught.value.text == text_of_1252(plain)
            if plain_1252:
                with pytest.raises(trirotor.ChecksumError) as caught:
                    trirotor.decode_bytes(as_bytes, key, suffix, strict=True)
                assert caught.value.text == plain
        else:
            assert trirotor.decode(message, key, suffix, strict=True) == text_of_1252(plain)


@pytest.mark.parametrize("v", VECTORS, ids=[v["name"] for v in VECTORS])
def test_try_decode_says_what_the_vector_says(v):
    # The outcome face of the same decodes: one status in place of the
    # exceptions, with the vector's numbers, words and text.
    message, key, suffix = v["message"], v["key"], v["suffix"]
    as_bytes, plain_1252 = as_1252(message)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", trirotor.KeyCharacterWarning)
        results = [trirotor.try_decode(message, key, suffix)]
        if plain_1252:
            results.append(trirotor.try_decode(as_bytes, key, suffix))
    for r in results:
        assert isinstance(r, trirotor.DecodeResult)
        if v["expect"] == "error":
            assert (r.status, r.text, r.error) == ("engine-error", None, v["error_number"])
            if v["error_description"] is not None:
                assert r.description == v["error_description"]
            continue
        plain = bytes.fromhex(v["plain_hex"])
        if v["last_error"] == 33:
            assert r == ("frame-failed", None, 33, "Failed decoding the text (Error 33)")
            continue
        text = plain if isinstance(r.text, bytes) else text_of_1252(plain)
        if v["last_error"] == 5:
            assert r == ("checksum-mismatch", text, 5, "Compression checksum error (Error 5)")
        elif len(message) < 4:
            assert r == ("no-message", None, 0, "")
        else:
            assert r == ("opened", text, 0, "")


def test_try_decode_raises_only_what_is_not_the_messages_doing():
    sealed = trirotor.encode("x" * 200_000, "k")
    assert trirotor.try_decode("abc", "k") == ("no-message", None, 0, "")
    assert trirotor.try_decode(bytearray(sealed.encode("ascii")), "k").text == b"x" * 200_000
    assert trirotor.try_decode(sealed, "").status == "engine-error"
    with pytest.raises(trirotor.Aborted):
        trirotor.try_decode(sealed, "k", progress=lambda percent: False)
    with pytest.raises(ValueError, match="unknown code page"):
        trirotor.try_decode(sealed, "k", codepage="koi9")
    with pytest.raises(TypeError):
        trirotor.try_decode(12, "k")


@pytest.mark.parametrize("name", ["hello", "long", "suffixed"])
def test_shipped_examples(source_dir, name):
    examples = source_dir / "examples"
    key = (examples / f"{name}.key").read_text(encoding="utf-8").rstrip("\r\n")
    suffix_file = examples / f"{name}.suffix"
    suffix = suffix_file.read_text(encoding="utf-8").rstrip("\r\n") if suffix_file.exists() else ""
    expected = (examples / f"{name}.txt").read_text(encoding="utf-8")
    assert trirotor.decode((examples / f"{name}.b64").read_text(encoding="ascii"), key, suffix) == expected


ROUND_TRIPS = [
    # text, key, suffix, codepage, wrap
    ("", "k", "", 1252, 76),
    ("Meet at noon.", "the key", "", 1252, 76),
    ("Grüße, café — €5\r\n\tend", "schlüssel", "süffix", 1252, 0),
    ("Привет, мир! " * 2000, "ключ", "", 1251, 76),       # compressed, pauses
    ("Привет", "ключ", "", "cp1251", 10),
    ("Привет", "ключ", "", "windows-1251", 76),
    ("Γειά σου", "κλειδί", "", "1253", 76),
    ("Żółć", "klucz", "", "ISO-8859-2", 76),
    ("Привет", "ключ", "", "koi8-r", 76),
    (bytes(range(256)).decode("cp1252", errors="ignore"), "k", "s" * 32767, 1252, 64),
    ("x" * 300_000, "k", "", 1252, 76),                   # long runs of one byte
]


@pytest.mark.parametrize("text,key,suffix,codepage,wrap", ROUND_TRIPS)
def test_round_trip(text, key, suffix, codepage, wrap):
    sealed = trirotor.encode(text, key, suffix, codepage=codepage, wrap=wrap)
    lines = sealed.split("\n")
    assert all(len(line) <= (wrap or len(sealed)) for line in lines)
    if wrap:
        assert all(len(line) == wrap for line in lines[:-1])
    assert trirotor.decode(sealed, key, suffix, codepage=codepage, strict=True) == text
    assert sealed != trirotor.encode(text, key, suffix, codepage=codepage, wrap=wrap)  # a fresh header
    if text:
        with pytest.raises(trirotor.FrameError):
            trirotor.decode(sealed, key + "x", suffix, codepage=codepage)


def test_refusals():
    cases = [
        (lambda: trirotor.encode("naïve Ж", "k"), ValueError,
         "line 1, column 7: U+0416 'Ж' has no place in code page 1252 and would be lost"),
        (lambda: trirotor.encode("one\ntwo ł", "k"), ValueError,
         "line 2, column 5: U+0142 'ł' has no place in code page 1252 and would become 'l'"),
        (lambda: trirotor.encode("x", "k😀"), ValueError,
         "character 2 of the key: U+1F600 '😀' has no place in code page 1252 and would be sealed as '??'"),
        (lambda: trirotor.encode("x", "k", "\u20ac\u0416", codepage=1252), ValueError,
         "character 2 of the key suffix: U+0416 'Ж' has no place in code page 1252 and would be sealed as '?'"),
        # A look-alike in a key: the same key typed under another page would not open the message.
        (lambda: trirotor.encode("x", "Łódź-2004"), ValueError,
         "character 1 of the key: U+0141 'Ł' has no place in code page 1252 and would be sealed as its "
         "look-alike 'L', as Windows does; the same key typed under another code page would not open the message"),
        (lambda: list(records.encode_lines(['{"id":1,"text":"x"}'], key="Łódź")), ValueError,
         "character 1 of the key: U+0141 'Ł' has no place in code page 1252 and would be sealed as its look-alike"),
        (lambda: trirotor.encode("x", "k", codepage=65001), ValueError, "multi-byte"),
        (lambda: trirotor.decode("abcd", "k", codepage="koi9"), ValueError, "unknown code page 'koi9'"),
        (lambda: trirotor.decode("abcd", "k", codepage=0), ValueError, "unknown code page 0"),
        (lambda: trirotor.decode("abcd", "k", codepage=True), TypeError, "bool"),
        (lambda: trirotor.encode("x", "k", wrap=-1), ValueError,
         "wrap must be a whole number from 0 (one line) to 2147483647, not -1"),
        (lambda: trirotor.encode("x", "k", wrap=2**31), ValueError, "to 2147483647, not 2147483648"),
        (lambda: trirotor.encode("x", "k", wrap=2**70), ValueError, "to 2147483647, not a number past 2**63"),
        (lambda: trirotor.encode("x", "k", wrap=-2**70), ValueError, "not a number below -2**63"),
        (lambda: trirotor.encode("x", "k", wrap=1.5), TypeError, "wrap must be int, not float"),
        (lambda: trirotor.encode("x", "k", wrap=True), TypeError, "wrap must be int, not bool"),
        (lambda: list(records.encode_lines(['{"id":1,"text":"x"}'], key="k", wrap=2**70)), ValueError,
         "not a number past 2**63"),
        (lambda: trirotor.decode(b"abcd", "k"), TypeError, "message must be str"),
        (lambda: trirotor.decode_bytes("abcd", "k"), TypeError, "bytes-like"),
        (lambda: trirotor.encode("x", ""), trirotor.EngineError, "Division by zero"),
        (lambda: trirotor.decode(trirotor.encode("x", "k"), ""), trirotor.EngineError, "Division by zero"),
    ]
    for call, kind, words in cases:
        with pytest.raises(kind) as caught:
            call()
        assert words in str(caught.value)
    assert issubclass(trirotor.FrameError, trirotor.Error)
    assert all(issubclass(c, trirotor.Error) for c in
               (trirotor.EngineError, trirotor.ChecksumError, trirotor.Aborted))
    # The widest wrap is allowed: one line.
    assert "\n" not in trirotor.encode("x" * 500, "k", wrap=2**31 - 1)


KEY_CONVERSIONS = [
    # key sealed with, key typed, suffix sealed with, suffix typed, warnings (one per character)
    ("pass?word", "passЖword", "", "",
     ["U+0416 'Ж' has no place in code page 1252 and was taken as '?'"]),
    # Typed on a Western system, the legacy program keyed this with the bytes of 'Lódz-2004'.
    ("Lódz-2004", "Łódź-2004", "", "",
     ["U+0141 'Ł' is not in code page 1252; it was taken as 'L', as Windows does",
      "U+017A 'ź' is not in code page 1252; it was taken as 'z', as Windows does"]),
    ("lal", "łał", "", "",  # a character twice: one warning
     ["U+0142 'ł' is not in code page 1252; it was taken as 'l', as Windows does"]),
    ("A-0=", "Ａ‐０＝", "", "",  # fullwidth letters and signs, U+2010
     ["U+FF21 'Ａ' is not in code page 1252; it was taken as 'A', as Windows does",
      "U+2010 '‐' is not in code page 1252; it was taken as '-', as Windows does",
      "U+FF10 '０' is not in code page 1252; it was taken as '0', as Windows does",
      "U+FF1D '＝' is not in code page 1252; it was taken as '=', as Windows does"]),
    ("k??", "k😀", "", "",  # a pair: each half on its own
     ["U+1F600 '😀' has no place in code page 1252 and was taken as '??'"]),
    ("Ak", "Āk", "8", "∞",  # key and suffix: in order
     ["U+0100 'Ā' is not in code page 1252; it was taken as 'A', as Windows does",
      "U+221E '∞' is not in code page 1252; it was taken as '8', as Windows does"]),
]


@pytest.mark.parametrize("sealed_key,typed_key,sealed_suffix,typed_suffix,expected", KEY_CONVERSIONS)
def test_keys_are_taken_as_windows_takes_them(sealed_key, typed_key, sealed_suffix, typed_suffix, expected):
    text = "old archive, sealed on a Western system"
    sealed = trirotor.encode(text, sealed_key, sealed_suffix)
    for call, message, plain in [(trirotor.decode, sealed, text),
                                 (trirotor.decode_bytes, sealed.encode("ascii"), text.encode("cp1252"))]:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert call(message, typed_key, typed_suffix) == plain
        assert [str(w.message) for w in caught if w.category is trirotor.KeyCharacterWarning] == expected
        assert all(w.filename == __file__ for w in caught)  # pointed at the caller
    # Batch records take the key the same way.
    answer = records.decode_record({"id": 1, "message": sealed, "key": typed_key, "suffix": typed_suffix})
    assert answer == {"id": 1, "text": text}
    # A key that differs in another way still fails.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", trirotor.KeyCharacterWarning)
        with pytest.raises(trirotor.FrameError):
            trirotor.decode(sealed, typed_key + "x", typed_suffix)


def test_characters_of_the_page_draw_no_warning():
    # 'ł' is a letter of 1250, and 'ó' of 1252.
    for text, key, page in [("tekst", "łódź", 1250), ("text", "Lódz", 1252)]:
        sealed = trirotor.encode(text, key, codepage=page)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert trirotor.decode(sealed, key, codepage=page) == text
        assert caught == []


def test_progress_and_abort():
    sealed = trirotor.encode("Lorem ipsum dolor sit amet. " * 20000, "k")
    seen = []
    assert trirotor.decode(sealed, "k", progress=seen.append).startswith("Lorem")
    assert len(seen) > 2 and seen == sorted(seen) and 0 <= seen[0] and seen[-1] <= 100

    calls = []

    def stop_at_second(percent):
        calls.append(percent)
        return len(calls) < 2

    with pytest.raises(trirotor.Aborted):
        trirotor.decode(sealed, "k", progress=stop_at_second)
    assert len(calls) == 2

    def fail(percent):
        raise RuntimeError("from the callback")

    with pytest.raises(RuntimeError, match="from the callback"):
        trirotor.decode_bytes(sealed.encode(), "k", progress=fail)

    # Ctrl-C during a decode: SIGINT arrives at a pause and the decode stops.
    def interrupt(percent):
        signal.raise_signal(signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        trirotor.decode(sealed, "k", progress=interrupt)
    # The engine is usable after each way of stopping.
    assert trirotor.decode(sealed, "k").startswith("Lorem")


@pytest.fixture(scope="module")
def big_sealed() -> str:
    """A message of some 26 million characters: about half a second of decoding."""
    return trirotor.encode(os.urandom(20_000_000).hex(), "k", wrap=0)


def test_a_decode_looks_for_ctrl_c_by_the_clock_not_at_every_pause(big_sealed):
    # Each look takes the interpreter lock, which waits for any other busy
    # Python thread: a long decode looks at most once per 50 ms, though it
    # pauses every 5,000 bytes (as the progress callback sees).
    pauses = []
    trirotor.decode(big_sealed, "k", progress=pauses.append)
    assert len(pauses) > 4000
    for call, message in [(trirotor.decode, big_sealed), (trirotor.decode_bytes, big_sealed.encode())]:
        before = _core._pause_lock_takes()
        start = time.monotonic()
        call(message, "k")
        elapsed = time.monotonic() - start
        takes = _core._pause_lock_takes() - before
        assert 1 <= takes <= 2 + elapsed / 0.05, (takes, elapsed)


def test_ctrl_c_stops_a_long_decode_without_a_progress_callback(big_sealed):
    trirotor.decode(big_sealed, "k")
    whole = _core._progress()  # where a decode run to its end leaves Progress

    done = threading.Event()
    sent = []

    def interrupt_once_decoding(before):
        # The decode has reached its first pause once the count moves.
        while _core._pause_lock_takes() == before and not done.wait(0.001):
            pass
        if not done.is_set():
            os.kill(os.getpid(), signal.SIGINT)
            sent.append(_core._pause_lock_takes())

    sender = threading.Thread(target=interrupt_once_decoding, args=(_core._pause_lock_takes(),))
    sender.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            trirotor.decode(big_sealed, "k")
        looks, progress = _core._pause_lock_takes(), _core._progress()
    finally:
        done.set()
        sender.join()
    # Stopped at the first look after the signal, so before the decode's
    # end. Counted in looks and in the engine's own Progress, not in time:
    # a busy machine slows both sides alike.
    assert looks - sent[0] <= 1, (looks, sent)
    assert progress < whole, (progress, whole)


def test_threads_side_by_side_with_their_own_code_pages():
    # Two code pages at once: the same bytes mean different letters, so a
    # page leaking from one thread into the other shows in the text.
    texts = {1251: "Съешь же ещё этих мягких булок " * 300, 1252: "Größere Äpfel für Öle " * 300}
    sealed = {page: trirotor.encode(text, "k", codepage=page) for page, text in texts.items()}
    failures = []

    def work(page):
        for _ in range(40):
            got = trirotor.decode(sealed[page], "k", codepage=page)
            if got != texts[page]:
                failures.append((page, got[:20]))

    threads = [threading.Thread(target=work, args=(page,)) for page in (1251, 1252, 1251, 1252)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


@pytest.mark.parametrize("pages", [
    (1252, 1252),
    (1251, 1252),
])
def test_two_decodes_in_flight_at_once(pages):
    # Each decode waits in its progress callback until the other has reached
    # its own: both are mid-decode at the same moment, each under its page.
    texts = {1251: "Съешь же ещё этих мягких булок " * 500, 1252: "Größere Äpfel für Öle " * 500}
    meet = threading.Barrier(2, timeout=30)
    results = {}

    def work(n, page):
        sealed = trirotor.encode(texts[page], "k", codepage=page)
        met = []

        def progress(percent):
            if not met:
                met.append(meet.wait())

        results[n] = trirotor.decode(sealed, "k", codepage=page, progress=progress)

    threads = [threading.Thread(target=work, args=(n, page)) for n, page in enumerate(pages)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not meet.broken
    assert [results.get(n) for n in range(2)] == [texts[page] for page in pages]


def test_help_tells_the_signature():
    doc = trirotor.decode.__doc__
    for word in ("codepage", "progress", "strict", "FrameError", "ChecksumError", "Aborted"):
        assert word in doc
