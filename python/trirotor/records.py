"""Batch records: the JSON-lines format of ``trirotor decode --jsonl`` and
``trirotor encode --jsonl`` as Python functions.

Every record is answered by the tool's own record code, so a record
answered here and by the tool gives the same output line:

    decode input   {"id": any, "message": "...", "key"?: "...", "suffix"?: "..."}
    encode input   {"id": any, "text": "...", "key"?: "...", "suffix"?: "..."}
    output         {"id": ..., "text": "..."}                       opened
                   {"id": ..., "text": "...", "last_error": 5}      checksum mismatch
                   {"id": ..., "last_error": 33, "error": "Failed decoding the text (Error 33)"}
                   {"id": ..., "error": {"number": ..., "source": ..., "description": ...}}
                   {"id": ..., "message": "..."}                    sealed
                   {"id": ... or null, "line": N, "error": "line N: ..."}   a bad record

The ``key`` and ``suffix`` arguments are the defaults for records without
their own; ``"key": null`` and ``"suffix": null`` count as absent. The line
functions skip blank lines (no output line; they still count in the line
numbers) and echo ids exactly as they were written (``1.50`` stays
``1.50``). See docs/batch.md for the format in full.
"""

from __future__ import annotations

import json
from typing import Any, Iterable, Iterator, Optional, Union

from . import _core

__all__ = ["decode_lines", "encode_lines", "decode_records", "encode_records",
           "decode_record", "encode_record"]

Record = dict
Line = Union[str, bytes]
CodePage = Union[int, str]
_BATCH = 256


def _answer_lines(mode: str, lines: Iterable[Line], key: Optional[str], suffix: Optional[str],
                  codepage: CodePage, wrap: int, first: int = 1) -> Iterator[str]:
    # Lines go over in batches; each batch is answered without the
    # interpreter lock.
    batch: list = []
    for line in lines:
        batch.append(line)
        if len(batch) >= _BATCH:
            yield from _core.answer_lines(mode, batch, key, suffix, codepage, wrap, first)
            first += len(batch)
            batch = []
    if batch:
        yield from _core.answer_lines(mode, batch, key, suffix, codepage, wrap, first)


def _as_line(record: Any, number: int) -> str:
    # NaN and the infinities have no JSON form: Python would write NaN, and
    # the reader would then point at a place in text the caller never saw.
    try:
        return json.dumps(record, ensure_ascii=False, allow_nan=False)
    except ValueError:
        raise ValueError(f"record {number} holds a NaN or infinite number, which JSON cannot carry") from None


def _answer_records(mode: str, records: Iterable[Any], key: Optional[str], suffix: Optional[str],
                    codepage: CodePage, wrap: int, first: int = 1) -> Iterator[Record]:
    lines = (_as_line(record, first + i) for i, record in enumerate(records))
    return (json.loads(answer) for answer in _answer_lines(mode, lines, key, suffix, codepage, wrap, first))


def decode_lines(lines: Iterable[Line], key: Optional[str] = None, suffix: Optional[str] = None, *,
                 codepage: CodePage = 1252) -> Iterator[str]:
    """``trirotor decode --jsonl`` over an iterable of lines (str or bytes,
    with or without their newline, e.g. an open file): one output line per
    record, without its newline; blank lines get none."""
    return _answer_lines("decode", lines, key, suffix, codepage, 0)


def encode_lines(lines: Iterable[Line], key: Optional[str] = None, suffix: Optional[str] = None, *,
                 codepage: CodePage = 1252, wrap: int = 0) -> Iterator[str]:
    """``trirotor encode --jsonl`` over an iterable of lines; each message
    one line of base64 unless ``wrap`` is given. A default key or suffix the
    code page cannot hold raises ValueError."""
    return _answer_lines("encode", lines, key, suffix, codepage, wrap)


def decode_records(records: Iterable[Any], key: Optional[str] = None, suffix: Optional[str] = None, *,
                   codepage: CodePage = 1252) -> Iterator[Record]:
    """The same over dicts: one output dict per record, in order; error
    records count the records from 1 as their line."""
    return _answer_records("decode", records, key, suffix, codepage, 0)


def encode_records(records: Iterable[Any], key: Optional[str] = None, suffix: Optional[str] = None, *,
                   codepage: CodePage = 1252, wrap: int = 0) -> Iterator[Record]:
    """encode_lines over dicts ({"id": ..., "text": ...})."""
    return _answer_records("encode", records, key, suffix, codepage, wrap)


def decode_record(record: Record, key: Optional[str] = None, suffix: Optional[str] = None, *,
                  codepage: CodePage = 1252, line: int = 1) -> Record:
    """The output dict of one decode record; ``line`` is the number its
    error record would name."""
    return next(_answer_records("decode", [record], key, suffix, codepage, 0, line))


def encode_record(record: Record, key: Optional[str] = None, suffix: Optional[str] = None, *,
                  codepage: CodePage = 1252, wrap: int = 0, line: int = 1) -> Record:
    """The output dict of one encode record."""
    return next(_answer_records("encode", [record], key, suffix, codepage, wrap, line))
