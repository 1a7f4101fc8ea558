"""trirotor.dask without a cluster: what a call refuses before any work,
and the size of the graphs it builds."""

import json

import pytest

dask = pytest.importorskip("dask")
dask_bag = pytest.importorskip("dask.bag")
pytest.importorskip("fsspec")

import dask.core  # noqa: E402
from fsspec.core import OpenFile  # noqa: E402
from fsspec.implementations.local import LocalFileSystem  # noqa: E402

import trirotor  # noqa: E402
import trirotor.dask  # noqa: E402
from conftest import run_tool_jsonl  # noqa: E402
from trirotor import _core  # noqa: E402

KEY = "checks key"


def edges(results) -> tuple[int, int]:
    """The number of tasks in the graph of `results` and of the inputs they name."""
    graph = dict(dask.base.collections_to_dsk(results, optimize_graph=False))
    return len(graph), sum(len(dask.core.get_dependencies(graph, k)) for k in graph)


def write_lines(path, count: int, width: int = 100) -> None:
    line = b'{"id":0,"message":"' + b"A" * (width - 22) + b'"}\n'
    path.write_bytes(line * count)


@pytest.mark.parametrize("blocksize, refusal", [
    (0, ValueError), (-1, ValueError), (1, ValueError), (32767, ValueError), ("1 KiB", ValueError),
    ("0", ValueError), ("lots", ValueError), (1.5, TypeError), (True, TypeError),
    (32768, None), ("16MiB", None), (None, None),
])
def test_blocksize_below_the_minimum_is_refused(tmp_path, blocksize, refusal):
    # 0 divided by zero, a negative size grew memory, 1 made a task per byte.
    write_lines(tmp_path / "in.jsonl", 100)
    call = lambda: trirotor.dask.decode_files(str(tmp_path / "in.jsonl"), key=KEY, blocksize=blocksize,  # noqa: E731
                                              compute=False)
    if refusal is None:
        assert len(call()) == 1
    else:
        with pytest.raises(refusal, match="blocksize"):
            call()


@pytest.mark.parametrize("sizes, blocksize, blocks", [
    ([100 * 1024], 32 * 1024, 3),            # size // blocksize blocks
    ([66 * 1024], 32 * 1024, 2),
    ([10 * 1024], 32 * 1024, 1),             # at least one
    ([0, 70 * 1024], 32 * 1024, 2),          # none for an empty file
    ([0, 70 * 1024], None, 2),               # one a file
])
def test_blocks_of_the_files(tmp_path, sizes, blocksize, blocks):
    for n, size in enumerate(sizes):
        write_lines(tmp_path / f"in-{n}.jsonl", size // 100)
    got = trirotor.dask.decode_files(str(tmp_path / "in-*.jsonl"), key=KEY, blocksize=blocksize, compute=False)
    assert len(got) == blocks


def test_graphs_grow_with_the_blocks_not_their_square(tmp_path):
    # Each block's task used to name the count task of every block before it.
    blocks = 300
    write_lines(tmp_path / "in.jsonl", blocks * 32 * 1024 // 100 + 1)
    results = trirotor.dask.decode_files(str(tmp_path / "in.jsonl"), key=KEY, blocksize=32 * 1024, compute=False)
    assert len(results) == blocks
    tasks, inputs = edges(results)
    assert tasks <= 3 * blocks and inputs <= 3 * blocks, (tasks, inputs)
    # Nor does building it copy the graph so far into each block's task.
    assert sum(len(r.__dask_graph__().layers) for r in results) <= 3 * blocks

    bag = dask_bag.from_sequence(range(3 * blocks), npartitions=blocks)
    tasks, inputs = edges([trirotor.dask.decode_bag(bag, key=KEY)])
    assert tasks <= 8 * blocks and inputs <= 8 * blocks, (tasks, inputs)


def snapshot(folder):
    return {str(p.relative_to(folder)): (p.read_bytes() if p.is_file() else None) for p in folder.rglob("*")}


def test_outputs_that_would_do_harm_are_refused_before_any_work(tmp_path):
    sealed = trirotor.encode("a line " * 20, KEY, wrap=0)
    inbox = tmp_path / "in" / "inbox.jsonl"
    inbox.parent.mkdir()
    inbox.write_text("".join(json.dumps({"id": i, "message": sealed}) + "\n" for i in range(700)), encoding="utf-8")
    blocks = inbox.stat().st_size // (32 * 1024)
    (tmp_path / "a-file").write_text("mine", encoding="utf-8")
    (tmp_path / "named").mkdir()
    (tmp_path / "named" / "b.jsonl").write_text("mine", encoding="utf-8")
    with dask.config.set(scheduler="sync"):
        first = trirotor.dask.decode_files(str(inbox), str(tmp_path / "opened" / "*.jsonl"), key=KEY,
                                           blocksize=32 * 1024)
        assert len(first) == blocks >= 3
        (tmp_path / "folder").mkdir()
        trirotor.dask.decode_files(str(inbox), str(tmp_path / "folder"), key=KEY)
        before = snapshot(tmp_path)
        cases = [
            # an earlier run's results, which a new blocksize would leave beside the new ones
            ("opened/*.jsonl", None, FileExistsError, f"0.jsonl and {blocks - 1} more already exist matching the output"),
            ("opened/*.jsonl", 64 * 1024, FileExistsError, "already exist matching"),
            ("folder", None, FileExistsError, "0.part already exists matching the output"),
            (["named/a.jsonl", "named/b.jsonl"] + [f"named/{n}.jsonl" for n in range(blocks - 2)], 32 * 1024,
             FileExistsError,
             "b.jsonl already exists among the outputs"),
            (["named/x.jsonl"], 32 * 1024, ValueError, f"output names 1 files, but the input makes {blocks} blocks"),
            # the input itself, by name, through "./", as a folder and in a list
            ("in/inbox.jsonl", None, ValueError, "in/inbox.jsonl is one of the input files"),
            ("in/./inbox.jsonl", 32 * 1024, ValueError, "is one of the input files"),
            (["in/inbox.jsonl"], None, ValueError, "in/inbox.jsonl is one of the input files"),
            ("in/*.jsonl", None, FileExistsError, "inbox.jsonl already exists matching the output"),
            ("a-file", None, ValueError, "the output folder " + str(tmp_path / "a-file") + " is a file"),
            ("opened/*/*.jsonl", None, ValueError, "more than one '*'"),
        ]
        for output, blocksize, refusal, words in cases:
            given = [str(tmp_path / o) for o in output] if isinstance(output, list) else str(tmp_path / output)
            with pytest.raises(refusal) as caught:
                trirotor.dask.decode_files(str(inbox), given, key=KEY, blocksize=blocksize)
            assert words in str(caught.value), output
            assert snapshot(tmp_path) == before, output


def test_a_short_message_in_a_column_is_a_failure():
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    sealed = trirotor.encode("a note", KEY)
    # "" and fewer than 4 characters are no message (the tool says so); 4
    # UTF-16 units are one, though only two characters.
    messages = [sealed, "", "abc", "é", "😀😀", None, sealed[:-4]]
    frame = dd.from_pandas(pd.DataFrame({"message": messages}), npartitions=2)
    with dask.config.set(scheduler="sync"):
        opened = trirotor.dask.decode_series(frame["message"], key=KEY).compute().tolist()
    assert opened == ["a note", None, None, None, None, None, None]
    for kwargs, refusal in [({}, "give key or key_env"), ({"key": ""}, "the key is empty"),
                            ({"key": KEY, "codepage": "koi9"}, "unknown code page"),
                            ({"key": KEY, "key_env": "X"}, "give key or key_env, not both")]:
        with pytest.raises(ValueError, match=refusal):
            trirotor.dask.decode_series(frame["message"], **kwargs)


def test_a_line_longer_than_a_record_costs_no_more_than_a_record(tmp_path, tool):
    # The block a long line starts in reads it only as far as a record may
    # be long; the blocks inside it read nothing past themselves.
    sealed = trirotor.encode("short", KEY, wrap=0)
    short = [json.dumps({"id": i, "message": sealed}).encode() + b"\n" for i in range(3)]
    long_line = b'{"id":"long","message":"' + b"A" * (_core.MAX_RECORD_BYTES + 2 * 1024 * 1024) + b'"}\n'
    data = b"".join(short) + long_line + b"".join(short) + long_line[:-1]  # the last line ends the file
    path = tmp_path / "in.jsonl"
    path.write_bytes(data)
    del long_line
    blocksize = 1024 * 1024
    fs = LocalFileSystem()
    file = OpenFile(fs, str(path), mode="rb")
    read = [trirotor.dask._read_block(file, offset, length)
            for _, offset, length in trirotor.dask._blocks(fs, [str(path)], blocksize)]
    assert max(len(b) for b in read) <= 2 * blocksize + _core.MAX_RECORD_BYTES + 1
    assert sum(_core.count_lines(b) for b in read) == 8  # every line, once
    expected = run_tool_jsonl(tool, "decode", data, KEY)
    with dask.config.set(scheduler="sync"):
        got = b"".join(trirotor.dask.decode_files(str(path), key=KEY, blocksize=blocksize))
    assert got.decode().splitlines() == expected
    assert sum("longer than 64 MiB" in line for line in expected) == 2
