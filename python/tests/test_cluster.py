"""trirotor.dask on a distributed.LocalCluster with two worker processes,
record by record against the tool."""

import json
import os
import pathlib
import random

import pytest

dask = pytest.importorskip("dask")
dask_bag = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

import trirotor
import trirotor.dask
from conftest import run_tool_jsonl

KEY = "cluster key"
WORDS = "the parcel arrived safely on Tuesday meeting moved to Friday café Grüße €".split()


def make_records(count: int, damaged_containers: list, seed: int = 12):
    """Records sealed by the encoder: mixed sizes, some under their own or a
    wrong key, some damaged in transit (their frame fails); and some from
    the conformance vectors whose container is damaged inside a sound frame
    (a checksum mismatch, an engine error)."""
    rng = random.Random(seed)
    out = []
    for i in range(count):
        if i % 97 == 0:
            v = rng.choice(damaged_containers)
            out.append({"id": i, "message": v["message"], "key": v["key"], "suffix": v["suffix"]})
            continue
        size = rng.choice([0, 3, 40, 400, 4000]) if i % 500 else 40000
        text = " ".join(rng.choice(WORDS) for _ in range(size // 6))
        record = {"id": i}
        kind = rng.random()
        key = KEY
        if kind < 0.1:
            key = record["key"] = f"own key {i}"
        message = trirotor.encode(text, key, wrap=0)
        if 0.1 <= kind < 0.2:
            record["key"] = "a wrong key"
        elif 0.2 <= kind < 0.35 and len(message) > 12:
            at = rng.randrange(4, len(message) - 4)
            message = message[:at] + ("A" if message[at] != "A" else "B") + message[at + 1:]
        record["message"] = message
        out.append(record)
    return out


@pytest.fixture(scope="module")
def damaged(vectors):
    return [v for v in vectors if v["key"] and (v.get("last_error") == 5 or v["expect"] == "error")]


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0")
    with distributed.Client(cluster) as client:
        yield client
    cluster.close()


def test_20000_records_on_two_workers_match_the_tool(tool, client, damaged, tmp_path):
    path = tmp_path / "inbox.jsonl"
    path.write_text("".join(json.dumps(r, ensure_ascii=False) + "\n" for r in make_records(20000, damaged)),
                    encoding="utf-8")
    expected = run_tool_jsonl(tool, "decode", path.read_bytes(), KEY)
    assert len(expected) == 20000

    lines = dask_bag.read_text(str(path), blocksize=1 << 20)
    assert lines.npartitions > 2
    got = trirotor.dask.decode_bag(lines, key=KEY).compute()
    assert len(got) == len(expected)
    mismatches = [(i, g, e) for i, (g, e) in enumerate(zip(got, expected)) if g != e]
    assert mismatches[:3] == []

    # The data really holds every kind of answer.
    kinds = {"text": 0, "33": 0, "5": 0, "engine": 0}
    for line in expected:
        answer = json.loads(line)
        if isinstance(answer.get("error"), dict):
            kinds["engine"] += 1
        elif answer.get("last_error") in (33, 5):
            kinds[str(answer["last_error"])] += 1
        else:
            kinds["text"] += 1
    assert all(n > 20 for n in kinds.values()), kinds


def test_keys_from_the_workers_environment(tool, client, damaged):
    # The workers read the key from their own environment: the client sends none.
    def set_key():
        os.environ["TRIROTOR_TEST_WORKER_KEY"] = KEY

    client.run(set_key)
    records = make_records(300, damaged, seed=5)
    expected = run_tool_jsonl(tool, "decode", "".join(json.dumps(r) + "\n" for r in records).encode(), KEY)
    bag = dask_bag.from_sequence(records, npartitions=4)
    got = trirotor.dask.decode_bag(bag, key_env="TRIROTOR_TEST_WORKER_KEY").compute()
    assert got == [json.loads(line) for line in expected]

    client.run(lambda: os.environ.pop("TRIROTOR_TEST_WORKER_KEY"))
    with pytest.raises(RuntimeError, match="TRIROTOR_TEST_WORKER_KEY is not set"):
        trirotor.dask.decode_bag(bag, key_env="TRIROTOR_TEST_WORKER_KEY").compute()


def test_encode_bag_and_a_dataframe_column(client):
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    texts = [f"note {i} " * (i % 7) for i in range(200)]
    sealed = trirotor.dask.encode_bag(
        dask_bag.from_sequence([{"id": i, "text": t} for i, t in enumerate(texts)], npartitions=3),
        key=KEY).compute()
    assert [r["id"] for r in sealed] == list(range(200))
    messages = [r["message"] for r in sealed]
    messages[7] = messages[7][:-8]  # cut short: its frame fails
    frame = dd.from_pandas(pd.DataFrame({"message": messages}), npartitions=3)
    opened = trirotor.dask.decode_series(frame["message"], key=KEY).compute().tolist()
    assert opened == texts[:7] + [None] + texts[8:]


def test_line_numbers_count_across_partitions(tool):
    # Error records name the line of the whole input, as the tool does,
    # whichever partition they fall in; blank lines count but get no answer.
    sealed = trirotor.encode("x", KEY)
    lines = [f'{{"id":{i},"message":"{sealed}"}}\n' for i in range(30)]
    lines[4] = "not json\n"
    lines[17] = '{"id":17}\n'
    lines[25] = "[]\n"
    expected = run_tool_jsonl(tool, "decode", "".join(lines).encode(), KEY)
    bag = dask_bag.from_sequence(lines, npartitions=4)
    got = trirotor.dask.decode_bag(bag, key=KEY).compute(scheduler="sync")
    assert [json.loads(g).get("line") for g in got] == [json.loads(e).get("line") for e in expected]
    assert sum(1 for g in got if "line" in g) == 3


@pytest.mark.parametrize("blocksize, returned", [
    (32 * 1024, False),  # many blocks, cut inside the runs of records
    (None, False),       # one block per file
    (100_000, True),     # the answers come back as bytes
])
def test_files_read_and_written_by_the_workers(tool, client, damaged, tmp_path, blocksize, returned):
    # Two files; the first ends without a newline, so its last line ends
    # with the file. Bad and blank lines sit in later blocks: their error
    # records must number the lines of both files, as the tool numbers the
    # lines of the files joined.
    lines = [json.dumps(r, ensure_ascii=False) for r in make_records(1500, damaged, seed=9)]
    for at, bad in [(3, ""), (700, "not json"), (1100, "[]"), (1101, "  "), (1499, '{"id":"last"}')]:
        lines.insert(at, bad)
    first, second = "\n".join(lines[:900]), "\n".join(lines[900:]) + "\n"
    (tmp_path / "in-1.jsonl").write_text(first, encoding="utf-8")
    (tmp_path / "in-2.jsonl").write_text(second, encoding="utf-8")
    expected = run_tool_jsonl(tool, "decode", (first + "\n" + second).encode("utf-8"), KEY)
    assert sum('"line":' in line for line in expected) == 3

    output = None if returned else str(tmp_path / "opened" / "*.jsonl")
    result = trirotor.dask.decode_files(str(tmp_path / "in-*.jsonl"), output, key=KEY, blocksize=blocksize)
    if returned:
        got = b"".join(result)
    else:
        got = b"".join(pathlib.Path(p).read_bytes() for p in result)
        assert result == sorted(result) and len(result) == len(list((tmp_path / "opened").iterdir()))
    assert got.decode("utf-8").splitlines() == expected
    assert (blocksize is None) == (len(result) == 2)
    if blocksize == 32 * 1024:
        assert len(result) > 20


def test_files_road_refuses_to_write_over_its_input_and_seals(tool, client, tmp_path):
    inbox = tmp_path / "0.jsonl"
    records = "".join(json.dumps({"id": i, "text": f"note {i} é"}) + "\n" for i in range(2000))
    inbox.write_text(records, encoding="utf-8")
    (tmp_path / "link").symlink_to(tmp_path, target_is_directory=True)
    for output in ("*.jsonl", "link/*.jsonl"):  # the same file, by its name and through a link
        with pytest.raises(ValueError, match="is one of the input files"):
            trirotor.dask.encode_files(str(tmp_path / "*.jsonl"), str(tmp_path / output), key=KEY)
    assert inbox.read_text(encoding="utf-8") == records
    with pytest.raises(ValueError, match="the key is empty"):
        trirotor.dask.decode_files(str(inbox), key="")

    blocks = trirotor.dask.encode_files(str(inbox), key=KEY, blocksize=32 * 1024)
    assert len(blocks) > 1
    sealed = b"".join(blocks)
    opened = run_tool_jsonl(tool, "decode", sealed, KEY)
    assert [json.loads(line) for line in opened] == [json.loads(line) for line in records.splitlines()]


def test_a_failed_task_leaves_no_key_in_the_logs(client, tmp_path):
    # A worker logs a failed task with the repr of its arguments ("Compute
    # Failed ... args: ..."): keys, and records that carry their own, must
    # not be among them. Each road fails a task on purpose.
    secret, own = "SECRET-KEY-4711", "OWN-RECORD-KEY-0815"
    sealed = trirotor.encode("x", own)
    record = {"id": 1, "message": sealed, "key": own}
    bag = dask_bag.from_sequence([json.dumps(record), 42], npartitions=1)  # 42 is not a line
    with pytest.raises(TypeError, match="lines must be str or bytes"):
        trirotor.dask.decode_bag(bag, key=secret, suffix=secret).compute()
    bag = dask_bag.from_sequence([record, {"id": float("nan")}], npartitions=1)
    with pytest.raises(ValueError, match="NaN"):
        trirotor.dask.decode_bag(bag, key=secret).compute()

    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    column = dd.from_pandas(pd.DataFrame({"message": [sealed]}), npartitions=1)["message"]
    with pytest.raises(RuntimeError, match="TRIROTOR_TEST_UNSET is not set"):
        trirotor.dask.decode_series(column, key=secret, suffix_env="TRIROTOR_TEST_UNSET").compute()

    inbox = tmp_path / "inbox.jsonl"
    inbox.write_text(json.dumps(record) + "\n", encoding="utf-8")
    later = trirotor.dask.decode_files(str(inbox), key=secret, compute=False)
    inbox.unlink()  # the workers will not find it
    with pytest.raises(FileNotFoundError):
        dask.compute(*later)

    logs = [message for worker in client.get_worker_logs().values() for _, message in worker]
    logs += [message for _, message in client.get_scheduler_logs()]
    failed = [message for message in logs if "Compute Failed" in message]
    assert len(failed) >= 4  # the logs are there to search
    assert [m for m in logs if secret in m or own in m] == []
    assert any("redacted" in m for m in failed)


def _letters(key: str) -> int:
    """A ?l?l... candidate's number, from 1 (the leftmost letter turns fastest)."""
    return 1 + sum((ord(c) - 97) * 26 ** i for i, c in enumerate(key))


@pytest.mark.parametrize("parts", [None, 3, 7])
def test_recover_on_the_cluster_finds_a_planted_key(client, parts):
    sealed = trirotor.encode("a planted key", "wzm")
    done = []
    found = trirotor.dask.recover(client, sealed, mask="?l?l?l", parts=parts,
                                  progress=lambda d, n, rate: done.append((d, n)))
    assert (found.key, found.candidate, found.codepage) == ("wzm", _letters("wzm"), 1252)
    assert "wzm" not in repr(found)
    assert done and all(d <= n for d, n in done)
    if parts is not None:
        assert done[-1][1] == parts
    # A part of the search that does not hold the key finds nothing.
    assert trirotor.dask.recover(client, sealed, mask="?l?l?l", limit=_letters("wzm") - 1, parts=2) is None


def test_recover_on_the_cluster_takes_files_as_data_and_a_hidden_suffix(client):
    words = b"".join(b"word%d\n" % i for i in range(1, 2001))
    rules = b":\nu\n$!\n"
    sealed = trirotor.encode("a planted key", "word1733!", "hidden-suffix")
    found = trirotor.dask.recover(client, sealed, wordlist=words, rules=rules, suffix="hidden-suffix", parts=4)
    assert (found.key, found.suffix) == ("word1733!", "hidden-suffix")
    assert found.candidate == 1732 * 3 + 3
    assert "rule 3 (line 3)" in found.source


def test_a_failed_recover_task_leaves_no_key_or_suffix_in_the_logs(client):
    secret = "SECRET-SUFFIX-0451"
    sealed = trirotor.encode("a planted key", "zzy", secret)
    # Too many threads: each worker's task fails, after the suffix has
    # travelled with it.
    with pytest.raises(ValueError, match="threads must be from 1 to 1024"):
        trirotor.dask.recover(client, sealed, mask="?l?l?l", suffix=secret, parts=2, threads=2000)
    logs = [message for worker in client.get_worker_logs().values() for _, message in worker]
    logs += [message for _, message in client.get_scheduler_logs()]
    failed = [message for message in logs if "Compute Failed" in message and "trirotor-recover" in message]
    assert failed  # the logs are there to search
    assert [m for m in logs if secret in m or "zzy" in m] == []
    assert any("redacted" in m for m in failed)
