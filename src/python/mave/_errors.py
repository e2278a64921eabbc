"""The exceptions of mave that the built-in ones do not cover."""

from __future__ import annotations

__all__ = ["FormatError"]


class FormatError(ValueError):
    """A file that is damaged, truncated or not in the format it was read as.

    The message names the file and the reason; both are also attributes.

    Attributes:
        filename: the path of the file, or None when there is no file.
        reason: what is wrong, without the file name.

    Example:
        >>> try:
        ...     mave.load("notes.txt")
        ... except mave.FormatError as e:
        ...     print(e.reason)
        Invalid file format Expected 'FiFu' as magic, got: ...
    """

    filename: str | None
    reason: str

    def __init__(self, message: str, filename: str | None = None, reason: str | None = None) -> None:
        super().__init__(message)
        self.filename = filename
        self.reason = message if reason is None else reason

    def __reduce__(self) -> tuple[type[FormatError], tuple[str, str | None, str]]:
        # Keeps the attributes when the error crosses processes (multiprocessing, Dask).
        return (type(self), (str(self), self.filename, self.reason))
