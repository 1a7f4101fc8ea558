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
"""

from __future__ import annotations

import operator
import os
from typing import Any, Iterable, Optional, Union

import dask
import dask.bag

from . import records as _records

__all__ = ["decode_bag", "encode_bag", "decode_series"]

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


def _run_partition(part: list, first_line: int, mode: str, key: Optional[str],
                   key_env: Optional[str], suffix: Optional[str], suffix_env: Optional[str],
                   codepage: CodePage, wrap: int) -> list:
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
        answer = _records._answer_records if dicts else _records._answer_lines
        out.extend(answer(mode, part[start:end], key, suffix, codepage, wrap, first_line + start))
        start = end
    return out


def _map(bag: dask.bag.Bag, mode: str, key, key_env, suffix, suffix_env, codepage, wrap) -> dask.bag.Bag:
    _resolve(key, key_env, "key")
    _resolve(suffix, suffix_env, "suffix")
    from . import _core
    _core.codepage_number(codepage)  # an unknown page fails here, not on the workers
    # Task names are random, not made from the arguments: a name derived
    # from a hash of the key would show in the scheduler's logs.
    parts = [dask.delayed(list, pure=False)(part) for part in bag.to_delayed()]
    run = dask.delayed(_run_partition, pure=False)
    count = dask.delayed(_count, pure=False)
    add = dask.delayed(operator.add, pure=False)
    first = 1
    out = []
    for part in parts:
        out.append(run(part, first, mode, key, key_env, suffix, suffix_env, codepage, wrap))
        first = add(first, count(part))
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
