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
- ``key=...`` (and ``suffix=...``): the client passes them as arguments of
  the tasks, in memory, through the scheduler to the workers; Dask writes
  them to no file and no log, but they are part of the task graph;
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

import os
from typing import Any, Iterable, Optional, Union

import dask
import dask.bag

from . import _core
from . import records as _records

__all__ = ["decode_bag", "encode_bag", "decode_series", "decode_files", "encode_files"]

CodePage = Union[int, str]


def _resolve(value: Optional[str], env: Optional[str], what: str) -> Optional[str]:
    if env is None:
        return value
    if value is not None:
        raise ValueError(f"give {what} or {what}_env, not both")
    return None


def _from_env(value: Optional[str], env: Optional[str]) -> Optional[str]:
    if env is None:
        return value
    try:
        return os.environ[env]
    except KeyError:
        raise RuntimeError(f"the variable {env} is not set on this worker") from None


def _count(part: list) -> int:
    return len(part)


def _run_partition(part: list, earlier: list, mode: str, key: Optional[str],
                   key_env: Optional[str], suffix: Optional[str], suffix_env: Optional[str],
                   codepage: CodePage, wrap: int) -> list:
    # Error records number the elements of the whole bag.
    first_line = 1 + sum(earlier)
    key = _from_env(key, key_env)
    suffix = _from_env(suffix, suffix_env)
    out: list = []
    # Runs of lines and runs of dicts, each answered in one go.
    start = 0
    while start < len(part):
        dicts = isinstance(part[start], dict)
        end = start
        while end < len(part) and isinstance(part[end], dict) == dicts:
            end += 1
        if dicts:
            out.extend(_records._answer_records(mode, part[start:end], key, suffix, codepage, wrap,
                                                first_line + start))
        else:  # the partition is in memory already: one call for the whole run
            out.extend(_core.answer_lines(mode, part[start:end], key, suffix, codepage, wrap, first_line + start))
        start = end
    return out


def _map(bag: dask.bag.Bag, mode: str, key, key_env, suffix, suffix_env, codepage, wrap) -> dask.bag.Bag:
    _resolve(key, key_env, "key")
    _resolve(suffix, suffix_env, "suffix")
    _core.codepage_number(codepage)  # an unknown page fails here, not on the workers
    # Task names are random, not made from the arguments: a name derived
    # from a hash of the key would show in the scheduler's logs.
    parts = [dask.delayed(list, pure=False)(part) for part in bag.to_delayed()]
    # Each partition is answered where it lies, told the lengths of the ones
    # before: a chain of running sums would make the scheduler move whole
    # partitions between workers to count them.
    run = dask.delayed(_run_partition, pure=False)
    count = dask.delayed(_count, pure=False)
    counts: list = []
    out = []
    for part in parts:
        out.append(run(part, list(counts), mode, key, key_env, suffix, suffix_env, codepage, wrap))
        counts.append(count(part))
    return dask.bag.from_delayed(out)


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


def _decode_texts(messages, key, key_env, suffix, suffix_env, codepage, strict):
    import trirotor
    key = _from_env(key, key_env)
    suffix = _from_env(suffix, suffix_env) or ""

    def one(message):
        if not isinstance(message, str):
            return None
        try:
            return trirotor.decode(message, key, suffix, codepage=codepage, strict=strict)
        except trirotor.Error:
            return None

    return messages.map(one)


def decode_series(series, key: Optional[str] = None, suffix: Optional[str] = None, *,
                  key_env: Optional[str] = None, suffix_env: Optional[str] = None,
                  codepage: CodePage = 1252, strict: bool = False):
    """A dask.dataframe column of messages decoded to a column of texts, with
    None where a message does not open (wrong key, damaged, not a string;
    with strict=True also a checksum mismatch). For the reason of each
    failure, use decode_bag on records."""
    _resolve(key, key_env, "key")
    _resolve(suffix, suffix_env, "suffix")
    return series.map_partitions(_decode_texts, key, key_env, suffix, suffix_env, codepage, strict,
                                 meta=(series.name, "object"))


# The files' road: blocks of bytes from read to write, on the workers.

def _count_lines(block: bytes) -> int:
    return _core.count_lines(block)


def _answer_block(block: bytes, earlier: list, mode: str, key: Optional[str], key_env: Optional[str],
                  suffix: Optional[str], suffix_env: Optional[str], codepage: CodePage, wrap: int,
                  out=None):
    key = _from_env(key, key_env)
    suffix = _from_env(suffix, suffix_env)
    # Error records number the lines of all the files, one after another.
    answers, _ = _core.answer_block(mode, block, key, suffix, codepage, wrap, 1 + sum(earlier))
    if out is None:
        return answers
    with out as f:
        f.write(answers)
    return out.path


def _where(fs, path: str) -> str:
    """A file's identity: local paths with their links resolved."""
    from fsspec.implementations.local import LocalFileSystem
    if isinstance(fs, LocalFileSystem):
        return os.path.realpath(path)
    return fs.unstrip_protocol(path)


def _map_files(urlpath, output, mode, key, key_env, suffix, suffix_env, codepage, wrap, blocksize,
               compute, storage_options):
    from dask.bytes import read_bytes
    from fsspec.core import get_fs_token_paths, open_files

    _resolve(key, key_env, "key")
    _resolve(suffix, suffix_env, "suffix")
    # A bad mode, key, code page or wrap fails here, not on the workers.
    _core.answer_block(mode, b"", key, suffix, codepage, wrap, 1)
    storage_options = storage_options or {}
    _, blocks, paths = read_bytes(urlpath, delimiter=b"\n", blocksize=blocksize, sample=False,
                                  include_path=True, **storage_options)
    blocks = [block for file_blocks in blocks for block in file_blocks]
    outs: list = [None] * len(blocks)
    if output is not None:
        outs = open_files(output, mode="wb", num=len(blocks), **storage_options)
        in_fs = get_fs_token_paths(urlpath, storage_options=storage_options)[0]
        written = {_where(f.fs, f.path) for f in outs}
        for path in paths:
            if _where(in_fs, path) in written:
                raise ValueError(f"the output {path} is one of the input files")
    # Task names are random, not made from the arguments (see _map).
    count = dask.delayed(_count_lines, pure=False)
    answer = dask.delayed(_answer_block, pure=False)
    counts: list = []
    results = []
    for block, out in zip(blocks, outs):
        results.append(answer(block, list(counts), mode, key, key_env, suffix, suffix_env, codepage, wrap, out))
        counts.append(count(block))
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
                about ``blocksize`` bytes, cut at line ends (None: one block
                per file). Error records number the lines of all the files in
                order, each file's last line ending where the file does.
    output      where the workers write the answers, one file per block, as
                Bag.to_textfiles names them ("opened/*.jsonl"); it may not be
                one of the input files. None: each block's answers come back
                as one bytes object.
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
