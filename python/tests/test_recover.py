"""trirotor.recover: the tool's key search in process, by candidate number,
with a result that keeps the key out of its repr, stopped by Ctrl-C and by
its progress callback while other threads run."""

import signal
import threading

import pytest

trirotor = pytest.importorskip("trirotor")

PLAIN = "the text of an old message\r\n"


def letters(key: str) -> int:
    """A ?l?l... candidate's number, from 1 (the leftmost letter turns fastest)."""
    return 1 + sum((ord(c) - 97) * 26 ** i for i, c in enumerate(key))


@pytest.mark.parametrize("key, suffix, options, number, source", [
    ("abm", "", {"mask": "?l?l?l"}, letters("abm"), "candidate 8,139 of mask ?l?l?l"),
    ("w33", "", {"wordlist": "words", "append_mask": "?d"}, 2 * 10 + 4, "line 3 of "),
    ("W33", "", {"wordlist": "words", "rules": "rules", "append_mask": "?d"}, 2 * 20 + 10 + 4, "rule 2 (line 2) of "),
    ("w2", "x7", {"wordlist": "words", "suffix_mask": "x?d"}, 10 + 8, "suffix 8 of mask x?d"),
    ("w1", "fix", {"wordlist": "words", "suffix": "fix"}, 1, "line 1 of "),
    ("abm", "", {"mask": "?l?l?l", "skip": 8000, "limit": 200}, letters("abm"), "candidate 8,139"),
    ("abm", "", {"mask": "?l?l?l", "skip": 8139}, None, None),  # past its number
    ("abm", "", {"mask": "?l?l?l", "limit": 8138}, None, None),  # short of it
])
def test_recover_finds_the_key_at_its_number(tmp_path, key, suffix, options, number, source):
    (tmp_path / "words").write_text("w1\nw2\nw3\nw4\n")
    (tmp_path / "rules").write_text(":\nu\n")
    options = {k: str(tmp_path / v) if k in ("wordlist", "rules") else v for k, v in options.items()}
    sealed = trirotor.encode(PLAIN, key, suffix)
    found = trirotor.recover(sealed, threads=2, **options)
    if number is None:
        assert found is None
        return
    assert (found.key, found.suffix, found.codepage, found.candidate) == (key, suffix, 1252, number)
    assert source in found.source
    assert key not in repr(found) and (not suffix or suffix not in repr(found))
    assert f"candidate={number}" in repr(found)


def test_parts_cover_the_whole_once():
    sealed = trirotor.encode(PLAIN, "qrs")
    hits = [trirotor.recover(sealed, mask="?l?l?l", skip=skip, limit=5859, threads=1)
            for skip in (0, 5859, 11718)]
    number = letters("qrs")
    assert [hit is not None for hit in hits] == [number <= 5859, 5859 < number <= 11718, number > 11718]
    assert next(hit for hit in hits if hit).candidate == number


@pytest.mark.parametrize("options, error", [
    ({"mask": "?l?l", "skip": 676}, ValueError),
    ({"mask": "?l?l", "limit": 0}, ValueError),
    ({"mask": "?l?q"}, ValueError),
    ({"mask": "?l", "append_mask": "?d"}, ValueError),
    ({"wordlist": "/nonexistent/words"}, OSError),
])
def test_recover_refuses_what_the_tool_refuses(options, error):
    with pytest.raises(error):
        trirotor.recover(trirotor.encode(PLAIN, "k"), **options)


def test_a_progress_callback_stops_the_search_and_another_thread_runs():
    # A search far too long to end by itself: it ends when the callback has
    # seen a thread count on while the search ran.
    sealed = trirotor.encode(PLAIN, "not a candidate")
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    seen = []

    def progress(tried, total, rate):
        seen.append((tried, total, counted[0]))
        return not (len(seen) >= 3 and seen[-1][2] > seen[0][2])

    worker = threading.Thread(target=count)
    worker.start()
    try:
        with pytest.raises(trirotor.Aborted):
            trirotor.recover(sealed, mask="?a?a?a?a?a?a", threads=1, progress=progress)
    finally:
        stop.set()
        worker.join()
    assert seen[-1][2] > seen[0][2]  # the other thread ran while the search did
    assert all(total == 95 ** 6 for _, total, _ in seen)
    assert seen[-1][0] < 95 ** 6


def test_ctrl_c_stops_the_search():
    sealed = trirotor.encode(PLAIN, "not a candidate")
    calls = [0]

    def interrupt(tried, total, rate):
        calls[0] += 1
        signal.raise_signal(signal.SIGINT)

    with pytest.raises(KeyboardInterrupt):
        trirotor.recover(sealed, mask="?a?a?a?a?a?a", threads=1, progress=interrupt)
    assert calls[0] == 1  # the signal is seen at the next look, before another callback
    assert trirotor.recover(trirotor.encode(PLAIN, "ab"), mask="?l?l").key == "ab"
