"""trirotor: open and seal trirotor messages from Python.

    >>> import trirotor
    >>> sealed = trirotor.encode("Meet at noon.", "the key")
    >>> trirotor.decode(sealed, "the key")
    'Meet at noon.'

The engine runs with the interpreter lock released, so threads decode side
by side. Batch records in the command-line tool's JSON-lines format are in
``trirotor.records``; decoding on a Dask cluster is in ``trirotor.dask``.
``trirotor.recover`` searches for a forgotten key, as ``trirotor recover``
does, in process.
"""

from __future__ import annotations

import os
from typing import Callable, NamedTuple, Optional, Sequence, Union

from . import _core
from ._errors import (Aborted, ChecksumError, EngineError, Error, FrameError,
                      KeyCharacterWarning)

__all__ = ["decode", "decode_bytes", "try_decode", "DecodeResult", "encode", "recover", "RecoveredKey", "Error", "FrameError",
           "EngineError", "ChecksumError", "Aborted", "KeyCharacterWarning"]

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


class DecodeResult(NamedTuple):
    """What try_decode() found: the engine's one word for the outcome and
    what goes with it.

    status       "opened", "checksum-mismatch" (the text is given all the
                 same), "frame-failed" (error 33: a wrong key or suffix, or
                 not a whole message), "engine-error" (a damaged container,
                 an empty key, ...) or "no-message" (fewer than 4
                 characters).
    text         the text (bytes for a bytes message) when the status is
                 "opened" or "checksum-mismatch", else None.
    error        5 or 33 as recorded, the engine error's number, else 0.
    description  the engine's own words for the error, else "".
    """

    status: str
    text: Union[str, bytes, None]
    error: int
    description: str


def try_decode(message: Union[str, bytes], key: str, suffix: str = "", *,
               codepage: CodePage = 1252,
               progress: Optional[ProgressCallback] = None) -> DecodeResult:
    """Decode as decode() (a str message) or decode_bytes() (bytes) do, but
    answer with a DecodeResult instead of raising for what the message is:
    for sorting many messages without a try block around each. Aborted, a
    progress callback's exception and ValueError (an unknown code page)
    still raise; key character warnings are given as decode() gives them.
    """
    return DecodeResult(*_core.try_decode(message, key, suffix, codepage, progress))


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


class RecoveredKey:
    """A key recover() found: .key, .suffix, .codepage, .candidate (its
    number, from 1, as ``trirotor recover --json`` and docs/recover.md
    number them) and .source (where it came from: the word list's line,
    the rule, the mask's candidate). Its repr leaves out the key and the
    suffix, so that a log or a traceback does not show them.
    """

    __slots__ = ("key", "suffix", "codepage", "candidate", "source")

    def __init__(self, key: str, suffix: str, codepage: int, candidate: int, source: str):
        self.key = key
        self.suffix = suffix
        self.codepage = codepage
        self.candidate = candidate
        self.source = source

    def __repr__(self) -> str:
        return f"RecoveredKey(candidate={self.candidate}, codepage={self.codepage}, source={self.source!r})"


PathLike = Union[str, "os.PathLike[str]"]
RecoverProgress = Callable[[int, Optional[int], float], Optional[bool]]


def _path(value: Optional[PathLike]) -> Optional[str]:
    return None if value is None else os.fspath(value)


def _pages(codepages: Union[None, CodePage, Sequence[CodePage]]) -> Optional[str]:
    if codepages is None:
        return None
    if isinstance(codepages, (int, str)):
        codepages = [codepages]
    return ",".join(str(page) for page in codepages)


def _recover_options(*, wordlist=None, rules=None, mask=None, append_mask=None, prepend_mask=None,
                     increment=False, custom_charsets=None, suffix=None, suffix_mask=None,
                     suffix_wordlist=None, codepages=None, skip=None, limit=None, threads=None) -> dict:
    """recover()'s keywords checked and as the engine's search takes them."""
    if skip is not None and skip < 0 or limit is not None and limit < 0:
        raise ValueError("skip and limit are counts of candidates: 0 or more")
    if sum(x is not None for x in (mask, append_mask, prepend_mask)) > 1:
        raise ValueError("give one of mask, append_mask and prepend_mask")
    if mask is not None and wordlist is not None:
        raise ValueError("mask makes candidates alone: leave out wordlist (or give append_mask)")
    if sum(x is not None for x in (suffix, suffix_mask, suffix_wordlist)) > 1:
        raise ValueError("give one of suffix, suffix_mask and suffix_wordlist")
    if threads is not None and not 1 <= threads <= 1024:
        raise ValueError("threads must be from 1 to 1024")
    options = {
        "wordlist": _path(wordlist), "rules": _path(rules), "mask": mask, "append_mask": append_mask,
        "prepend_mask": prepend_mask, "increment": bool(increment),
        "custom_charsets": None if custom_charsets is None else list(custom_charsets),
        "suffix": suffix, "suffix_mask": suffix_mask, "suffix_wordlist": _path(suffix_wordlist),
        "codepages": _pages(codepages), "skip": skip, "limit": limit, "threads": threads,
    }
    return options


def recover(message: str, *, wordlist: Optional[PathLike] = None, rules: Optional[PathLike] = None,
            mask: Optional[str] = None, append_mask: Optional[str] = None, prepend_mask: Optional[str] = None,
            increment: bool = False, custom_charsets: Optional[Sequence[Optional[str]]] = None,
            suffix: Optional[str] = None, suffix_mask: Optional[str] = None,
            suffix_wordlist: Optional[PathLike] = None,
            codepages: Union[None, CodePage, Sequence[CodePage]] = None,
            skip: Optional[int] = None, limit: Optional[int] = None, threads: Optional[int] = None,
            progress: Optional[RecoverProgress] = None) -> Optional[RecoveredKey]:
    """Search for the key of a message among candidates, as ``trirotor
    recover`` does, and return the first that opens it, or None.

    message          the base64 text, as decode() takes it.
    wordlist, rules  files: words one a line, hashcat's rules.
    mask             candidates from a mask alone (?l ?u ?d ?s ?a ...);
    append_mask, prepend_mask
                     each word followed or preceded by each of the mask's.
    increment        masks from their first position on, one longer each time.
    custom_charsets  the sets ?1 .. ?4 stand for (up to four; None for unset).
    suffix           a fixed key suffix; suffix_mask and suffix_wordlist
                     try each suffix of a mask or a file.
    codepages        a code page, a list of them, or "all" (default 1252).
    skip, limit      one part of the search: skip the first `skip`
                     candidates, try at most `limit` after them.
    threads          worker threads (default: one per core).
    progress         called about every 50 ms with (tried, total or None,
                     candidates per second); returning False stops the
                     search, which then raises Aborted.

    Runs with the interpreter lock released; Ctrl-C on the main thread
    stops it (KeyboardInterrupt). Raises ValueError for bad options (a bad
    mask or rule, a part past the end), OSError for an unreadable file. No
    session file is kept.
    """
    options = _recover_options(
        wordlist=wordlist, rules=rules, mask=mask, append_mask=append_mask, prepend_mask=prepend_mask,
        increment=increment, custom_charsets=custom_charsets, suffix=suffix, suffix_mask=suffix_mask,
        suffix_wordlist=suffix_wordlist, codepages=codepages, skip=skip, limit=limit, threads=threads)
    found = _core.recover(message.encode("utf-8"), options, progress)
    return None if found is None else RecoveredKey(*found)
