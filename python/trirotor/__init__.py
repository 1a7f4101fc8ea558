"""trirotor: open and seal trirotor messages from Python.

    >>> import trirotor
    >>> sealed = trirotor.encode("Meet at noon.", "the key")
    >>> trirotor.decode(sealed, "the key")
    'Meet at noon.'

The engine runs with the interpreter lock released, so threads decode side
by side. Batch records in the command-line tool's JSON-lines format are in
``trirotor.records``; decoding on a Dask cluster is in ``trirotor.dask``.
"""

from __future__ import annotations

from typing import Callable, Optional, Union

from . import _core
from ._errors import (Aborted, ChecksumError, EngineError, Error, FrameError,
                      KeyCharacterWarning)

__all__ = ["decode", "decode_bytes", "encode", "Error", "FrameError", "EngineError",
           "ChecksumError", "Aborted", "KeyCharacterWarning"]

CodePage = Union[int, str]
ProgressCallback = Callable[[int], Optional[bool]]


def decode(message: str, key: str, suffix: str = "", *, codepage: CodePage = 1252,
           progress: Optional[ProgressCallback] = None, strict: bool = False) -> str:
    """Open a sealed message and return its text.

    message   the base64 text; characters outside the base64 alphabet
              (line breaks, spaces, framing) are skipped wherever they stand.
    key       the key; suffix, the key suffix ("" for none).
    codepage  the single-byte code page of the text: 1252 (the default),
              874, 1250 to 1258, 28591 (ISO-8859-1), ...; an int or a
              name such as "1251", "cp1251", "windows-1251", "ISO-8859-2"
              or "KOI8-R" (any case). It applies to this call only.
    progress  called at the engine's pauses with the percentage done
              (0-50 decrypting, 50-100 checksumming), at least once for a
              message of 4 characters or more; returning False (not None)
              stops the decode, which then raises Aborted. An exception it
              raises stops the decode and comes out of decode().
    strict    on a checksum mismatch, raise ChecksumError (its .text holds
              the text) instead of returning the text.

    A message of fewer than 4 characters gives "". Raises FrameError (33)
    for a wrong key or suffix or text that is not a message, EngineError
    for a damaged container or an empty key (11), ValueError for an unknown
    code page. A key or suffix character the code page cannot hold is taken
    as Windows takes it, as its look-alike where the page has one ('ł' as
    'l' under 1252), else as '?', with a KeyCharacterWarning for each such
    character. Ctrl-C (KeyboardInterrupt) stops a long decode soon after:
    without a progress callback the decode looks for it every 50 ms.
    """
    return _core.decode(message, key, suffix, codepage, progress, strict)


def decode_bytes(message: bytes, key: str, suffix: str = "", *, codepage: CodePage = 1252,
                 progress: Optional[ProgressCallback] = None, strict: bool = False) -> bytes:
    """Open a sealed message held as bytes (one byte per character) and
    return the plain bytes of the code page, without making text.

    The same as decode() in every other way: ``decode_bytes(m.encode("ascii"),
    k)`` equals ``decode(m, k).encode("cp1252")``; ChecksumError.text is
    bytes here. The code page still matters for the key and suffix.
    """
    return _core.decode_bytes(message, key, suffix, codepage, progress, strict)


def encode(text: str, key: str, suffix: str = "", *, codepage: CodePage = 1252,
           wrap: int = 76) -> str:
    """Seal a text so that decode(result, key, suffix) gives it back.

    The frame's header is random: the same text and key never give the same
    message twice. The base64 lines are wrap characters long, joined by
    "\\n"; wrap=0 gives one line (any width past the message's length does
    too; at most 2**31 - 1). Raises ValueError naming the first character of
    the text, key or suffix that the code page does not hold exactly, with
    its place ("line 2, column 5", "character 3 of the key") and what it
    would have become ('?', or Windows' look-alike: a key sealed that way
    would not open under another code page); EngineError 11 for an empty
    key, 6 for a suffix of more than 32767 characters.
    """
    return _core.encode(text, key, suffix, codepage, wrap)
