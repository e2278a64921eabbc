"""The exceptions of mave that the built-in ones do not cover."""

from __future__ import annotations

__all__ = ["FormatError"]


class FormatError(ValueError):
    """A file that is damaged, truncated or not in the format it was read as.

    The message names the file, where in it the fault lies and what is wrong;
    each part is also an attribute.

    Attributes:
        filename: the path of the file, or None when there is no file.
        reason: what is wrong and where, without the file name.
        offset: the byte offset of the faulty field, or None when unknown.
        line: the 1-based line of a text file, or None when unknown.

    Example:
        >>> try:
        ...     mave.load("notes.txt")
        ... except mave.FormatError as e:
        ...     print(e.reason)
        byte 0: not a finalfusion file: it starts with "not ", not "FiFu"
    """

    filename: str | None
    reason: str
    offset: int | None
    line: int | None

    def __init__(
        self,
        message: str,
        filename: str | None = None,
        reason: str | None = None,
        offset: int | None = None,
        line: int | None = None,
    ) -> None:
        super().__init__(message)
        self.filename = filename
        self.reason = message if reason is None else reason
        self.offset = offset
        self.line = line

    def __reduce__(self) -> tuple[type[FormatError], tuple[str, str | None, str, int | None, int | None]]:
        # Keeps the attributes when the error crosses processes (multiprocessing, Dask).
        return (type(self), (str(self), self.filename, self.reason, self.offset, self.line))
