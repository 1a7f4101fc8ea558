"""Decoding and sealing on a Dask cluster (needs the ``dask`` package; the
dataframe function needs ``dask.dataframe`` and pandas).

    import dask.bag as db
    import trirotor.dask
    lines = db.read_text("inbox-*.jsonl", blocksize="16MiB")
    trirotor.dask.decode_bag(lines, key=key).to_textfiles("opened-*.jsonl")

A bag of JSON lines (str or bytes) becomes a bag of output lines exactly as
``trirotor decode --jsonl`` writes them (without the newline; blank lines
get none); a bag of dicts becomes a bag of output dicts. Line numbers in
error records count the elements of the whole bag from 1, as the tool
counts the lines of its input.

Keys reach the workers in one of two ways:
- ``key=...`` (and ``suffix=...``): the client passes them with the tasks,
  in memory, through the scheduler to the workers, wrapped in an object
  whose repr and task token say nothing of them, so that neither a failed
  task's log line ("Compute Failed ... args: ...") nor a task name shows
  them; records go between tasks wrapped the same way, since they may carry
  keys of their own;
- ``key_env="NAME"`` (and ``suffix_env``): each worker reads the variable
  from its own environment when the task runs, so the key never leaves the
  workers' machines; set it where the workers are started
  (``TRIROTOR_KEY=... dask-worker ...``).
Records carrying their own "key" use it either way.

For files of JSON lines, ``decode_files`` and ``encode_files`` are the fast
road: the workers read blocks of the files themselves, answer each block in
one call without the interpreter lock and without a Python object per
record, and write the answers (or return them as one bytes object per
block); nothing but file names, line counts and the keys travels through
the client and the scheduler.
"""

from __future__ import annotations

import copy
import operator
import os
import uuid
from typing import Any, Iterable, Optional, Union

import dask
import dask.bag

from . import _core
from . import records as _records

__all__ = ["decode_bag", "encode_bag", "decode_series", "decode_files", "encode_files", "recover"]

CodePage = Union[int, str]

# Below this, blocks cost more in tasks than they bring (and a blocksize of a
# few bytes would make a task per byte).
MIN_BLOCKSIZE = 32 * 1024


class _Secret:
    """A key or suffix on its way to the workers. It pickles with its value,
    but its repr and its Dask token tell nothing of it: a failed task's log
    line lists the task's arguments by repr, and task names are made from
    tokens."""

    def __init__(self, value: str) -> None:
        self.value = value
        self._token = uuid.uuid4().hex

    def __repr__(self) -> str:
        return "<trirotor secret, redacted>"

    __str__ = __repr__

    def __dask_tokenize__(self) -> str:
        return self._token


class _Records:
    """A partition's elements between tasks, shown by their number alone:
    records may carry keys of their own."""

    def __init__(self, items: Iterable[Any]) -> None:
        self.items = list(items)

    def __repr__(self) -> str:
        return f"<{len(self.items)} trirotor records>"


def _hide(value: Optional[str]) -> Optional[_Secret]:
    return None if value is None else _Secret(value)


def _resolve(value: Optional[str], env: Optional[str], what: str) -> Optional[_Secret]:
    """The value to send with the tasks: wrapped, or None when the workers
    read it from their environment."""
    if env is None:
        return _hide(value)
    if value is not None:
        raise ValueError(f"give {what} or {what}_env, not both")
    return None


def _from_env(value: Optional[_Secret], env: Optional[str]) -> Optional[str]:
    if env is None:
        return None if value is None else value.value
    try:
        return os.environ[env]
    except KeyError:
        raise RuntimeError(f"the variable {env} is not set on this worker") from None


def _count(part: _Records) -> int:
    return len(part.items)


def _run_partition(part: _Records, length: int, first_line: int, mode: str, key: Optional[_Secret],
                   key_env: Optional[str], suffix: Optional[_Secret], suffix_env: Optional[str],
                   codepage: CodePage, wrap: int) -> list:
    # Error records number the elements of the whole bag, from first_line on.
    # The partition's length comes only so that its records have two users:
    # Dask then cannot fuse the records' task into this one, which would put
    # the bare records among this task's arguments (and into its log line,
    # should it fail).
    items = part.items
    if len(items) != length:
        raise RuntimeError("a partition changed between its tasks")
    key = _from_env(key, key_env)
    suffix = _from_env(suffix, suffix_env)
    out: list = []
    # Runs of lines and runs of dicts, each answered in one go.
    start = 0
    while start < len(items):
        dicts = isinstance(items[start], dict)
        end = start
        while end < len(items) and isinstance(items[end], dict) == dicts:
            end += 1
        if dicts:
            out.extend(_records._answer_records(mode, items[start:end], key, suffix, codepage, wrap,
                                                first_line + start))
        else:  # the partition is in memory already: one call for the whole run
            out.extend(_core.answer_lines(mode, items[start:end], key, suffix, codepage, wrap, first_line + start))
        start = end
    return out


def _map(bag: dask.bag.Bag, mode: str, key, key_env, suffix, suffix_env, codepage, wrap) -> dask.bag.Bag:
    from dask.highlevelgraph import HighLevelGraph

    key = _resolve(key, key_env, "key")
    suffix = _resolve(suffix, suffix_env, "suffix")
    _core.codepage_number(codepage)  # an unknown page fails here, not on the workers
    # Each partition is answered where it lies, told the number of its first
    # element by a chain of sums of the partitions' lengths: only numbers go
    # from task to task, and each task has at most three inputs. The graph
    # is written out at once, so that building it, too, takes time in
    # proportion to the partitions. Task names are random, not made from the
    # arguments.
    token = uuid.uuid4().hex
    name = f"trirotor-{mode}-{token}"
    records, length, first = (f"trirotor-{what}-{token}" for what in ("records", "length", "first"))
    graph: dict = {}
    for i, part in enumerate(bag.__dask_keys__()):
        graph[(records, i)] = (_Records, part)
        graph[(length, i)] = (_count, (records, i))
        graph[(first, i)] = 1 if i == 0 else (operator.add, (first, i - 1), (length, i - 1))
        graph[(name, i)] = (_run_partition, (records, i), (length, i), (first, i), mode, key, key_env, suffix,
                            suffix_env, codepage, wrap)
    return dask.bag.Bag(HighLevelGraph.from_collections(name, graph, dependencies=[bag]), name, bag.npartitions)


def decode_bag(bag: dask.bag.Bag, key: Optional[str] = None, suffix: Optional[str] = None, *,
               key_env: Optional[str] = None, suffix_env: Optional[str] = None,
               codepage: CodePage = 1252) -> dask.bag.Bag:
    """``trirotor decode --jsonl`` over a bag of JSON lines or of dicts.

    key, suffix        defaults for records without their own, sent with the tasks;
    key_env, suffix_env  or the names of variables the workers read them from;
    codepage           as for trirotor.decode.
    """
    return _map(bag, "decode", key, key_env, suffix, suffix_env, codepage, 0)


def encode_bag(bag: dask.bag.Bag, key: Optional[str] = None, suffix: Optional[str] = None, *,
               key_env: Optional[str] = None, suffix_env: Optional[str] = None,
               codepage: CodePage = 1252, wrap: int = 0) -> dask.bag.Bag:
    """``trirotor encode --jsonl`` over a bag of JSON lines or of dicts
    ({"id": ..., "text": ...}); each message one line unless wrap is given."""
    return _map(bag, "encode", key, key_env, suffix, suffix_env, codepage, wrap)


# The engine takes fewer characters (UTF-16 units) than this for no message.
_SHORTEST_MESSAGE = _core.SHORTEST_MESSAGE


def _decode_texts(messages, key, key_env, suffix, suffix_env, codepage, strict):
    import trirotor
    key = _from_env(key, key_env)
    suffix = _from_env(suffix, suffix_env) or ""

    def one(message):
        if not isinstance(message, str):
            return None
        if len(message) < _SHORTEST_MESSAGE and \
                len(message.encode("utf-16-le", "surrogatepass")) < 2 * _SHORTEST_MESSAGE:
            return None  # no message in it: a failure, as the tool says, not a text ""
        try:
            return trirotor.decode(message, key, suffix, codepage=codepage, strict=strict)
        except trirotor.Error:
            return None

    return messages.map(one)


def decode_series(series, key: Optional[str] = None, suffix: Optional[str] = None, *,
                  key_env: Optional[str] = None, suffix_env: Optional[str] = None,
                  codepage: CodePage = 1252, strict: bool = False):
    """A dask.dataframe column of messages decoded to a column of texts, with
    None where a message does not open (wrong key, damaged, not a string, no
    message at all: fewer than 4 characters; with strict=True also a
    checksum mismatch). For the reason of each failure, use decode_bag on
    records."""
    secret_key = _resolve(key, key_env, "key")
    if secret_key is None and key_env is None:
        raise ValueError("give key or key_env")
    if key == "":
        raise ValueError("the key is empty")  # every message would fail
    secret_suffix = _resolve(suffix, suffix_env, "suffix")
    _core.codepage_number(codepage)  # an unknown page fails here, not on the workers
    return series.map_partitions(_decode_texts, secret_key, key_env, secret_suffix, suffix_env, codepage, strict,
                                 meta=(series.name, "object"))


# The files' road: each task reads its block of a file itself, so that no
# block of records travels between tasks (or shows in a failed task's log).
# A block is read twice: once to count its lines, once to answer it.

def _read_block(file, offset: int, length: Optional[int]) -> bytes:
    """The lines of a file that start in (offset, offset + length], or from
    its start for offset 0: adjacent blocks share no line and miss none.
    The last line is read on past the block only as far as a record may be
    long, and one byte more, so that it is still answered as too long: a
    long line costs a block and a record, not the whole file. length None:
    the whole file."""
    with copy.copy(file) as f:
        if length is None:
            return f.read()
        f.seek(offset)
        block = f.read(length)
        if offset > 0:  # the first line is the one after the first line end
            newline = block.find(b"\n")
            if newline < 0:
                return b""  # no line starts here: the block lies inside one
            block = block[newline + 1:]
        parts = [block]
        room = _core.MAX_RECORD_BYTES + 1
        while room > 0:
            chunk = f.read(min(1 << 16, room))
            if not chunk:
                break
            newline = chunk.find(b"\n")
            if newline >= 0:
                parts.append(chunk[:newline + 1])
                break
            parts.append(chunk)
            room -= len(chunk)
        return b"".join(parts)


def _count_block(file, offset: int, length: Optional[int]) -> int:
    return _core.count_lines(_read_block(file, offset, length))


def _first_lines(*counts: int) -> list:
    """The number of each block's first line, counting from 1 across all."""
    firsts, line = [], 1
    for count in counts:
        firsts.append(line)
        line += count
    return firsts


def _answer_block(file, offset: int, length: Optional[int], firsts: list, index: int, mode: str,
                  key: Optional[_Secret], key_env: Optional[str], suffix: Optional[_Secret],
                  suffix_env: Optional[str], codepage: CodePage, wrap: int, out=None):
    key = _from_env(key, key_env)
    suffix = _from_env(suffix, suffix_env)
    block = _read_block(file, offset, length)
    answers, _ = _core.answer_block(mode, block, key, suffix, codepage, wrap, firsts[index])
    del block
    if out is None:
        return answers
    with out as f:
        f.write(answers)
    return out.path


def _checked_blocksize(blocksize) -> Optional[int]:
    if blocksize is None:
        return None
    if isinstance(blocksize, str):
        from dask.utils import parse_bytes
        try:
            size = parse_bytes(blocksize)
        except ValueError:
            raise ValueError(f"blocksize {blocksize!r} is not a size such as 16MiB") from None
    elif isinstance(blocksize, int) and not isinstance(blocksize, bool):
        size = blocksize
    else:
        raise TypeError(f"blocksize must be int, str or None, not {type(blocksize).__name__}")
    if size < MIN_BLOCKSIZE:
        raise ValueError(f"blocksize must be at least {MIN_BLOCKSIZE} bytes (32 KiB), not {blocksize!r}")
    return size


def _blocks(fs, paths: list, blocksize: Optional[int]) -> list:
    """(path, offset, length) of each block: size // blocksize blocks of a
    file (at least one; none for an empty file), or the whole file for
    blocksize None. Each block is then cut at line ends where it is read."""
    blocks = []
    for path in paths:
        if blocksize is None:
            blocks.append((path, 0, None))
            continue
        size = fs.info(path).get("size")
        if size is None:
            raise ValueError(f"cannot tell the size of {path}: give blocksize=None to read it whole")
        count = max(1, size // blocksize)
        cuts = [size * i // count for i in range(count + 1)] if size else []
        blocks.extend((path, start, end - start) for start, end in zip(cuts, cuts[1:]))
    return blocks


def _where(fs, path: str) -> str:
    """A file's identity: local paths with their links resolved."""
    from fsspec.implementations.local import LocalFileSystem
    if isinstance(fs, LocalFileSystem):
        return os.path.realpath(path)
    return fs.unstrip_protocol(path)


def _check_output(output, count: int, in_fs, in_paths: list, storage_options: dict) -> None:
    """Refuses, before anything is created, the outputs that would do harm:
    one that is an input file, a folder that is a file, and outputs that
    already exist: for a pattern, any file it matches (for a folder, any
    file in it), such as the results of an earlier run with another
    blocksize, which would lie beside the new ones."""
    from fsspec.core import get_fs_token_paths

    if isinstance(output, (list, tuple)) and len(output) != count:
        raise ValueError(f"output names {len(output)} files, but the input makes {count} blocks")
    inputs = {_where(in_fs, path) for path in in_paths}
    pattern = None
    if isinstance(output, (str, os.PathLike)):
        output = os.fspath(output)
        if output.count("*") > 1:
            raise ValueError(f"the output {output} has more than one '*'")
        # A folder ("opened") gets files 0.part, 1.part, ...: anything
        # already in it would lie beside them.
        pattern = output if "*" in output else os.path.join(output, "*")
    out_fs, _, paths = get_fs_token_paths(output, mode="wb", num=count, storage_options=storage_options)
    for path in paths:
        if _where(out_fs, path) in inputs:
            raise ValueError(f"the output {path} is one of the input files")
    for folder in sorted({out_fs._parent(path) for path in paths}):
        if out_fs.exists(folder) and not out_fs.isdir(folder):
            if _where(out_fs, folder) in inputs:
                raise ValueError(f"the output {folder} is one of the input files")
            raise ValueError(f"the output folder {folder} is a file")
    if pattern is not None:
        earlier = sorted(out_fs.glob(out_fs._strip_protocol(pattern)))
        where = f"matching the output {pattern}"
    else:
        earlier = [path for path in paths if out_fs.exists(path)]
        where = "among the outputs"
    if earlier:
        more = f" and {len(earlier) - 1} more" if len(earlier) > 1 else ""
        raise FileExistsError(f"{earlier[0]}{more} already exist{'s' if not more else ''} {where} "
                              "(results of an earlier run?); nothing was written: remove them or write elsewhere")


def _map_files(urlpath, output, mode, key, key_env, suffix, suffix_env, codepage, wrap, blocksize,
               compute, storage_options):
    from dask.delayed import Delayed
    from dask.highlevelgraph import HighLevelGraph
    from fsspec.core import OpenFile, get_fs_token_paths, open_files

    key = _resolve(key, key_env, "key")
    suffix = _resolve(suffix, suffix_env, "suffix")
    blocksize = _checked_blocksize(blocksize)
    # A bad mode, key, code page or wrap fails here, not on the workers.
    _core.answer_block(mode, b"", None if key is None else key.value, None if suffix is None else suffix.value,
                       codepage, wrap, 1)
    storage_options = storage_options or {}
    in_fs, _, paths = get_fs_token_paths(urlpath, mode="rb", storage_options=storage_options)
    if not paths:
        raise OSError(f"{urlpath} names no files")
    blocks = _blocks(in_fs, paths, blocksize)
    outs: list = [None] * len(blocks)
    if output is not None and blocks:
        _check_output(output, len(blocks), in_fs, paths, storage_options)
        outs = open_files(output, mode="wb", num=len(blocks), **storage_options)
    files = {path: OpenFile(in_fs, path, mode="rb") for path in paths}
    # The line counts come together once, in one task; each block's task
    # then takes its first line number from that one list. The graph is
    # written out at once: it grows with the blocks, and so does the time
    # to build it. Task names are random, not made from the arguments.
    token = uuid.uuid4().hex
    name = f"trirotor-{mode}-{token}"
    count, firsts = f"trirotor-lines-{token}", f"trirotor-first-lines-{token}"
    graph: dict = {(count, i): (_count_block, files[path], offset, length)
                   for i, (path, offset, length) in enumerate(blocks)}
    graph[firsts] = (_first_lines, *[(count, i) for i in range(len(blocks))])
    for i, ((path, offset, length), out) in enumerate(zip(blocks, outs)):
        graph[(name, i)] = (_answer_block, files[path], offset, length, firsts, i, mode, key, key_env, suffix,
                            suffix_env, codepage, wrap, out)
    whole = HighLevelGraph.from_collections(name, graph)
    results = [Delayed((name, i), whole, layer=name) for i in range(len(blocks))]
    if compute:
        return list(dask.compute(*results))
    return results


def decode_files(urlpath, output=None, key: Optional[str] = None, suffix: Optional[str] = None, *,
                 key_env: Optional[str] = None, suffix_env: Optional[str] = None,
                 codepage: CodePage = 1252, blocksize: Union[int, str, None] = "64MiB",
                 compute: bool = True, storage_options: Optional[dict] = None):
    """``trirotor decode --jsonl`` over files of JSON lines, read and
    written by the workers.

    urlpath     a file, a glob ("inbox-*.jsonl") or a list of them, as
                dask.bytes.read_bytes takes it; the workers read blocks of
                about ``blocksize`` bytes, cut at line ends: size // blocksize
                blocks of a file, at least one (None: one block per file;
                below MIN_BLOCKSIZE, 32 KiB, is a ValueError). Error records number the lines of all the files in
                order, each file's last line ending where the file does.
    output      where the workers write the answers, one file per block, as
                Bag.to_textfiles names them ("opened/*.jsonl"). Refused
                before any work: an input file (ValueError), and outputs
                that exist already (FileExistsError: for a pattern any file
                it matches, for a folder any file in it), such as an earlier
                run's. None: each block's answers come back as one bytes
                object.
    key ...     as for decode_bag.
    compute     False: the dask.delayed objects of the blocks instead.

    Returns the written paths, or the blocks of answers (bytes, each line
    ending in "\n"), in the order of the input: joined, they are the tool's
    output for the files joined (each ending in a newline).
    """
    return _map_files(urlpath, output, "decode", key, key_env, suffix, suffix_env, codepage, 0, blocksize,
                      compute, storage_options)


def encode_files(urlpath, output=None, key: Optional[str] = None, suffix: Optional[str] = None, *,
                 key_env: Optional[str] = None, suffix_env: Optional[str] = None,
                 codepage: CodePage = 1252, wrap: int = 0, blocksize: Union[int, str, None] = "64MiB",
                 compute: bool = True, storage_options: Optional[dict] = None):
    """``trirotor encode --jsonl`` over files of JSON lines
    ({"id": ..., "text": ...}), as decode_files does for decoding."""
    return _map_files(urlpath, output, "encode", key, key_env, suffix, suffix_env, codepage, wrap, blocksize,
                      compute, storage_options)


# Key search (trirotor.recover) over the cluster, part by part.

class _Data:
    """A word list, rule file or suffix list sent as data: each worker
    writes it once to a file of its own. Its repr says only its size."""

    def __init__(self, data: bytes) -> None:
        self.data = bytes(data)
        self.token = uuid.uuid4().hex

    def __repr__(self) -> str:
        return f"<trirotor file data, {len(self.data)} bytes>"


class _Found:
    """A part's answer on its way back: the key's fields, shown redacted."""

    def __init__(self, found) -> None:
        self.fields = (found.key, found.suffix, found.codepage, found.candidate, found.source)

    def __repr__(self) -> str:
        return "<trirotor key found, redacted>"


_FILE_OPTIONS = ("wordlist", "rules", "suffix_wordlist")


def _local_file(value) -> str:
    """A path the worker reads: as given (a shared path), or the data
    written once into the worker's own folder."""
    if not isinstance(value, _Data):
        return os.fspath(value)
    import tempfile
    path = os.path.join(tempfile.gettempdir(), f"trirotor-recover-{value.token}")
    if not os.path.exists(path):
        with tempfile.NamedTemporaryFile(dir=os.path.dirname(path), delete=False) as out:
            out.write(value.data)
        os.replace(out.name, path)
    return path


def _recover_part(message: str, options: dict, files: dict, suffix: Optional[_Secret], skip: int,
                  limit: int, threads: Optional[int]) -> Optional[_Found]:
    import trirotor
    paths = {name: _local_file(value) for name, value in files.items()}
    found = trirotor.recover(message, **options, **paths, suffix=None if suffix is None else suffix.value,
                             skip=skip, limit=limit, threads=threads)
    return None if found is None else _Found(found)


def _as_file(value):
    """A file option as it travels: bytes as data, a path as it stands."""
    if value is None:
        return None
    if isinstance(value, (bytes, bytearray, memoryview)):
        return _Data(bytes(value))
    return os.fspath(value)


def recover(client, message: str, *, wordlist=None, rules=None, mask: Optional[str] = None,
            append_mask: Optional[str] = None, prepend_mask: Optional[str] = None, increment: bool = False,
            custom_charsets=None, suffix: Optional[str] = None, suffix_mask: Optional[str] = None,
            suffix_wordlist=None, codepages=None, skip: int = 0, limit: Optional[int] = None,
            parts: Optional[int] = None, part_seconds: float = 5.0, threads: Optional[int] = None,
            progress=None):
    """Search for a message's key on a Dask cluster, as trirotor.recover()
    does on one machine, and return the RecoveredKey found, or None.

    The candidates (or those from skip on, at most limit) are cut by number
    into `parts` tasks, by default parts of about `part_seconds` each at the
    rate this machine measures for the message (at least two parts a
    worker). Each task searches on `threads` threads (default 1: one of its
    worker's threads). Tasks are named trirotor-recover-part-N, so that
    the dashboard's progress bar and task stream show them. As soon as one
    part finds the key the others are cancelled, and the key found is that
    part's: with two keys that open the message, not always the lower
    numbered one.

    wordlist, rules and suffix_wordlist are each a path that every worker
    can read (a shared folder), or bytes: the file's data, sent once to each
    worker, which writes it to a file of its own. A fixed suffix travels
    wrapped as the decode functions' keys do, so that no task argument, task
    name, log line or exception shows it; no candidate travels at all, and
    the key found comes back as a result, not as an argument.

    progress, when given, is called on this thread after each part with
    (parts done, parts, candidates per second on the cluster so far).
    """
    import time
    import distributed
    import trirotor

    options = {"mask": mask, "append_mask": append_mask, "prepend_mask": prepend_mask,
               "increment": increment, "custom_charsets": custom_charsets, "suffix_mask": suffix_mask,
               "codepages": codepages}
    files = {name: _as_file(value) for name, value in
             (("wordlist", wordlist), ("rules", rules), ("suffix_wordlist", suffix_wordlist))
             if value is not None}
    # The count, and the rate of one core, here: the files must be readable
    # here too (as data, through a temporary copy).
    local = {name: _local_file(value) for name, value in files.items()}
    checked = {**options, **local, "suffix": suffix}
    count, per_core = _core.recover_count(message.encode("utf-8"),
                                         trirotor._recover_options(skip=skip, limit=limit, **checked))
    if count is None:
        raise ValueError("a search on a cluster needs a word list file, not standard input")
    workers = client.scheduler_info().get("workers", {})
    threads = threads or 1  # a task takes one of its worker's threads
    if parts is None:
        size = max(1, int(per_core * threads * part_seconds))
        parts = max(2 * max(1, len(workers)), -(-count // size))
    parts = max(1, min(int(parts), count))
    size = -(-count // parts)
    secret = _hide(suffix)
    shipped = {name: client.scatter(value, broadcast=True) if isinstance(value, _Data) else value
               for name, value in files.items()}
    run = uuid.uuid4().hex[:8]
    futures = []
    for i in range(parts):
        first = skip + i * size
        length = min(size, skip + count - first)
        if length <= 0:
            break
        futures.append(client.submit(_recover_part, message, options, shipped, secret, first, length, threads,
                                     key=f"trirotor-recover-part-{i}-{run}", pure=False))
    sizes = {future.key: min(size, skip + count - (skip + i * size)) for i, future in enumerate(futures)}
    start, tried, done = time.monotonic(), 0, 0
    try:
        for future in distributed.as_completed(futures):
            answer = future.result()
            done += 1
            tried += sizes[future.key]
            if progress is not None:
                progress(done, len(futures), tried / max(time.monotonic() - start, 1e-9))
            if answer is not None:
                return trirotor.RecoveredKey(*answer.fields)
        return None
    finally:
        client.cancel(futures)
