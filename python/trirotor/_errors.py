"""The exceptions of the trirotor package.

Every failure of a call is a ``trirotor.Error``; the subclasses carry the
engine's own numbers and words.
"""

from __future__ import annotations


class Error(Exception):
    """Base class of every trirotor failure. ``number`` is the engine's error
    number, or None where the engine has none (Aborted)."""

    number: int | None = None


def _engine_text(code: int) -> str:
    """The engine's own text for a recorded failure code."""
    from . import _core  # here, not above: _core imports this module
    return _core.error_message(code)


class FrameError(Error):
    """The frame does not check out (error 33): a wrong key or key suffix, or
    text that is not a whole message."""

    number = 33

    def __init__(self) -> None:
        super().__init__(_engine_text(33))


class ChecksumError(Error):
    """The decoded text fails its checksum (error 5). Raised only with
    ``strict=True``; ``text`` holds what was decoded all the same."""

    number = 5

    def __init__(self, text) -> None:
        super().__init__(_engine_text(5))
        self.text = text


class EngineError(Error):
    """An error the engine raised: ``number``, ``source`` and ``description``
    as the engine gives them (9 "Subscript out of range" for a damaged
    container, 11 "Division by zero" for an empty key, ...)."""

    def __init__(self, number: int, source: str, description: str) -> None:
        super().__init__(f"error {number} in {source}: {description}")
        self.number = number
        self.source = source
        self.description = description

    def __reduce__(self):
        return (type(self), (self.number, self.source, self.description))


class Aborted(Error):
    """The progress callback returned False and the decode stopped."""

    def __init__(self) -> None:
        super().__init__("aborted")


class KeyCharacterWarning(UserWarning):
    """A key or suffix character the code page does not hold: decoding takes
    it as Windows does, as its look-alike where the page has one, else as
    '?', so that messages sealed that way still open. One warning per
    character: "U+0142 'ł' is not in code page 1252; it was taken as 'l', as
    Windows does". ``encode`` refuses such a key with ValueError."""
