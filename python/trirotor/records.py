"""Batch records: the JSON-lines format of ``trirotor decode --jsonl`` and
``trirotor encode --jsonl`` as Python functions.

A record decoded here and one decoded by the tool give the same output line:

    decode input   {"id": any, "message": "...", "key"?: "...", "suffix"?: "..."}
    encode input   {"id": any, "text": "...", "key"?: "...", "suffix"?: "..."}
    output         {"id": ..., "text": "..."}                       opened
                   {"id": ..., "text": "...", "last_error": 5}      checksum mismatch
                   {"id": ..., "last_error": 33, "error": "Failed decoding the text (Error 33)"}
                   {"id": ..., "error": {"number": ..., "source": ..., "description": ...}}
                   {"id": ..., "message": "..."}                    sealed
                   {"id": ... or null, "line": N, "error": "line N: ..."}   a bad record

The ``key`` and ``suffix`` arguments are the defaults for records without
their own; a ``"key": null`` or ``"suffix": null`` counts as absent. In the
line functions blank lines get no output line (they still count in the line
numbers) and ids come back exactly as they were written (``1.50`` stays
``1.50``).
"""

from __future__ import annotations

import json
import re
from typing import Any, Iterable, Iterator, Optional, Union

from . import _core
from ._errors import ChecksumError, EngineError, FrameError

__all__ = ["decode_record", "encode_record", "decode_records", "encode_records",
           "decode_lines", "encode_lines", "dumps"]

Record = dict
_MAX_LINE_BYTES = 64 << 20
_MAX_NESTING = 64


class RawNumber(str):
    """A JSON number kept as it was written, so that it is echoed unchanged."""


class _BadRecord(Exception):
    def __init__(self, what: str, id: Any = None) -> None:
        super().__init__(what)
        self.what = what
        self.id = id


# --- output -----------------------------------------------------------------

def _dump(value: Any, out: list) -> None:
    if isinstance(value, RawNumber):
        out.append(str(value))
    elif isinstance(value, str):
        out.append(json.dumps(_scrub(value), ensure_ascii=False))
    elif isinstance(value, dict):
        out.append("{")
        for i, (name, item) in enumerate(value.items()):
            if i:
                out.append(",")
            out.append(json.dumps(_scrub(str(name)), ensure_ascii=False))
            out.append(":")
            _dump(item, out)
        out.append("}")
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _dump(item, out)
        out.append("]")
    else:
        out.append(json.dumps(value))


def _scrub(text: str) -> str:
    # The tool writes a lone surrogate as U+FFFD.
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace") if _has_surrogate(text) else text


_SURROGATE = re.compile("[\ud800-\udfff]")
# A surrogate in a line: as it stands, or written as an escape; an escape
# may be a false alarm (an escaped backslash before "ud800"), which the full
# check of the parsed record then clears.
_SURROGATE_IN_LINE = re.compile("[\ud800-\udfff]|\\\\[uU][dD][89a-fA-F]")


def _has_surrogate(text: str) -> bool:
    return not text.isascii() and _SURROGATE.search(text) is not None


_SIMPLE_IDS = (int, str, float, bool, type(None))
_ENCODER = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"))


def dumps(record: Record) -> str:
    """One output record as the tool writes it (compact, UTF-8 as it is), without the newline."""
    if type(record.get("id")) in _SIMPLE_IDS and not any(
            type(v) is str and _has_surrogate(v) for v in record.values()):
        return _ENCODER.encode(record)
    out: list = []
    _dump(record, out)
    return "".join(out)


# --- one record -------------------------------------------------------------

def _is_text(value: Any) -> bool:
    return isinstance(value, str) and not isinstance(value, RawNumber)


def _string_field(record: Record, name: str) -> Optional[str]:
    value = record.get(name)
    if value is None:
        return None
    if not _is_text(value):
        raise _BadRecord(f'"{name}" is not a string', record["id"])
    if _has_surrogate(value):
        raise _BadRecord(f'"{name}" is not valid UTF-8', record["id"])
    return value


def _fields(record: Any, field: str, key: Optional[str], suffix: str):
    if not isinstance(record, dict):
        raise _BadRecord("not a JSON object")
    if "id" not in record:
        raise _BadRecord('no "id"')
    id = record["id"]
    value = record.get(field)
    if field not in record:
        raise _BadRecord(f'no "{field}" string', id)
    if not _is_text(value):
        raise _BadRecord(f'"{field}" is not a string', id)
    if _has_surrogate(value):
        raise _BadRecord(f'"{field}" is not valid UTF-8', id)
    own_key = _string_field(record, "key")
    if own_key is None:
        own_key = key
    if own_key is None:
        raise _BadRecord('no "key", and no key option given', id)
    if own_key == "":
        raise _BadRecord("the key is empty", id)
    own_suffix = _string_field(record, "suffix")
    return id, value, own_key, suffix if own_suffix is None else own_suffix


def _bad(error: _BadRecord, line: int) -> Record:
    return {"id": error.id, "line": line, "error": f"line {line}: {error.what}"}


def _position(text: str, index: int) -> tuple[int, int]:
    before = text[:index]
    line = before.count("\n") + 1
    return line, index - (before.rfind("\n") + 1) + 1


def _describe(ch: str) -> str:
    cp = ord(ch)
    name = f"U+{cp:04X}"
    return name if cp < 0x20 or 0x7F <= cp < 0xA0 else f"{name} '{ch}'"


def decode_record(record: Record, key: Optional[str] = None, suffix: str = "", *,
                  codepage: Union[int, str] = 1252, line: int = 1) -> Record:
    """The output record of one decode input record. ``line`` is the line
    number that error records name."""
    try:
        id, message, own_key, own_suffix = _fields(record, "message", key, suffix)
    except _BadRecord as error:
        return _bad(error, line)
    try:
        # The tool reads such key characters as '?' without a word per record.
        text = _core.decode(message, own_key, own_suffix, codepage, None, True, False)
    except FrameError as error:
        return {"id": id, "last_error": 33, "error": str(error)}
    except ChecksumError as error:
        return {"id": id, "text": error.text, "last_error": 5}
    except EngineError as error:
        return {"id": id, "error": {"number": error.number, "source": error.source,
                                    "description": error.description}}
    return {"id": id, "text": text}


def encode_record(record: Record, key: Optional[str] = None, suffix: str = "", *,
                  codepage: Union[int, str] = 1252, wrap: int = 0, line: int = 1) -> Record:
    """The output record of one encode input record (one line of base64
    unless ``wrap`` is given)."""
    try:
        id, text, own_key, own_suffix = _fields(record, "text", key, suffix)
    except _BadRecord as error:
        return _bad(error, line)
    number = _core.codepage_number(codepage)
    try:
        message = _core.encode(text, own_key, own_suffix, number, wrap)
    except EngineError as error:
        return {"id": id, "error": {"number": error.number, "source": error.source,
                                    "description": error.description}}
    except ValueError:
        for name, value in (("text", text), ("key", own_key), ("suffix", own_suffix)):
            for index, ch in enumerate(value):
                try:
                    _core.encode(ch, "k", "", number, 0)
                except ValueError:
                    at_line, column = _position(value, index)
                    where = f'"{name}" line {at_line}, column {column}' if name == "text" \
                        else f'"{name}" column {column}'
                    return _bad(_BadRecord(f"{where}: {_describe(ch)} has no place in code page "
                                           f"{number} and would be lost", id), line)
        raise
    return {"id": id, "message": message}


def decode_records(records: Iterable[Any], key: Optional[str] = None, suffix: str = "", *,
                   codepage: Union[int, str] = 1252) -> Iterator[Record]:
    """decode_record over an iterable of dicts, one output each, in order;
    error records count the records from 1 as their line."""
    for line, record in enumerate(records, 1):
        yield decode_record(record, key, suffix, codepage=codepage, line=line)


def encode_records(records: Iterable[Any], key: Optional[str] = None, suffix: str = "", *,
                   codepage: Union[int, str] = 1252, wrap: int = 0) -> Iterator[Record]:
    """encode_record over an iterable of dicts, one output each, in order."""
    for line, record in enumerate(records, 1):
        yield encode_record(record, key, suffix, codepage=codepage, wrap=wrap, line=line)


# --- lines ------------------------------------------------------------------

def _reject_constant(name: str) -> Any:
    raise ValueError(f"not JSON: {name}")


def _integer(text: str) -> Any:
    # Integers print back as they came, except "-0".
    return RawNumber(text) if text == "-0" else int(text)


_DECODER = json.JSONDecoder(parse_int=_integer, parse_float=RawNumber, parse_constant=_reject_constant)
_PLAIN_DECODER = json.JSONDecoder(parse_constant=_reject_constant)
_PLAIN_IDS = (int, str, bool, type(None))


def _nests_within(text: str, limit: int) -> bool:
    if text.count("[") + text.count("{") <= limit:
        return True
    depth = 0
    in_string = False
    escaped = False
    for c in text:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c in "[{":
            depth += 1
            if depth > limit:
                return False
        elif c in "]}":
            depth -= 1
    return True


def _contains_surrogate(value: Any) -> bool:
    if isinstance(value, str):
        return _has_surrogate(value)
    if isinstance(value, dict):
        return any(_has_surrogate(k) or _contains_surrogate(v) for k, v in value.items())
    if isinstance(value, list):
        return any(_contains_surrogate(v) for v in value)
    return False


def parse_line(line: Union[str, bytes]) -> Any:
    """One input line as a record, numbers kept as written. Raises ValueError
    with the tool's words for a line that is not a record's JSON."""
    if isinstance(line, str):
        size = len(line.encode("utf-8", "surrogatepass"))
    else:
        size = len(line)
    if size > _MAX_LINE_BYTES:
        raise _BadRecord(f"longer than {_MAX_LINE_BYTES >> 20} MiB")
    if isinstance(line, (bytes, bytearray)):
        try:
            line = bytes(line).decode("utf-8")
        except UnicodeDecodeError:
            raise _BadRecord("not valid JSON") from None
    if not _nests_within(line, _MAX_NESTING):
        raise _BadRecord(f"nested more than {_MAX_NESTING} levels deep")
    try:
        # Most records: parsed by the C scanner as they are. Numbers that
        # may not print back as written (floats, -0, NaN, nested ids) take
        # the path that keeps their text.
        record = _PLAIN_DECODER.decode(line)
        if not (type(record) is dict and type(record.get("id")) in _PLAIN_IDS and
                not (record.get("id") == 0 and "-" in line)):
            record = _DECODER.decode(line)
    except ValueError:
        raise _BadRecord("not valid JSON") from None
    if ("\\u" in line or not line.isascii()) and _SURROGATE_IN_LINE.search(line) and \
            _contains_surrogate(record):
        raise _BadRecord("not valid JSON")
    return record


def _lines(lines: Iterable[Union[str, bytes]], answer, first: int = 1) -> Iterator[str]:
    for number, line in enumerate(lines, first):
        if isinstance(line, str):
            line = line[:-1] if line.endswith("\n") else line
            blank = not line.strip(" \t\r")
        else:
            line = line[:-1] if line.endswith(b"\n") else line
            blank = not line.strip(b" \t\r")
        if blank:
            continue
        try:
            record = parse_line(line)
        except _BadRecord as error:
            yield dumps(_bad(error, number))
            continue
        yield dumps(answer(record, number))


def decode_lines(lines: Iterable[Union[str, bytes]], key: Optional[str] = None, suffix: str = "", *,
                 codepage: Union[int, str] = 1252) -> Iterator[str]:
    """``trirotor decode --jsonl`` over an iterable of lines (str or bytes,
    with or without their newline, e.g. an open file): one output line each,
    without its newline; blank lines are skipped."""
    return _decode_lines(lines, key, suffix, codepage, 1)


_BATCH = 256


def _decode_lines(lines, key, suffix, codepage, first: int) -> Iterator[str]:
    # Batches of lines go to the engine's side whole (the common record is
    # answered there without the interpreter lock); the lines it leaves
    # (None) are answered here, with the words of the error records.
    def answer(record, number):
        return decode_record(record, key, suffix, codepage=codepage, line=number)

    batch: list = []
    numbers: list = []

    def flush():
        fast = _core.decode_record_lines(batch, key, suffix, codepage)
        for line, number, done in zip(batch, numbers, fast):
            if done is not None:
                yield done
            else:
                yield from _lines([line], answer, number)
        batch.clear()
        numbers.clear()

    for number, line in enumerate(lines, first):
        batch.append(line)
        numbers.append(number)
        if len(batch) >= _BATCH:
            yield from flush()
    if batch:
        yield from flush()


def encode_lines(lines: Iterable[Union[str, bytes]], key: Optional[str] = None, suffix: str = "", *,
                 codepage: Union[int, str] = 1252, wrap: int = 0) -> Iterator[str]:
    """``trirotor encode --jsonl`` over an iterable of lines."""
    return _lines(lines, lambda record, number: encode_record(
        record, key, suffix, codepage=codepage, wrap=wrap, line=number))
