"""The Embeddings class: a loaded file and everything asked of it."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
import os
import tomllib
from typing import Any, Self, TypeAlias

import numpy as np
import numpy.typing as npt

from mave import _native

__all__ = ["Embeddings", "SubwordSettings", "Words", "load"]

Words = _native.Words
# The compiled type answers the sequence protocol; this makes isinstance()
# and the sequence mixins' users see it as one.
Sequence.register(Words)

StrPath: TypeAlias = "str | os.PathLike[str]"
Vector: TypeAlias = npt.NDArray[np.float32]


@dataclasses.dataclass(frozen=True)
class SubwordSettings:
    """How a subword vocabulary turns a string into matrix rows.

    Attributes:
        kind: "bucket", "fasttext", "explicit" or "floret".
        min_n, max_n: the shortest and longest n-gram, in characters.
        buckets: the number of hash buckets (None for "explicit").
        ngrams: the number of stored n-grams ("explicit" only, else None).
        hashes: the number of hashes per n-gram ("floret" only, else None).
        seed: the hash seed ("floret" only, else None).
        begin_marker, end_marker: the text put around a word before it is cut
            into n-grams.

    Example:
        >>> e.subwords
        SubwordSettings(kind='fasttext', min_n=3, max_n=6, buckets=2000000, ...)
    """

    kind: str
    min_n: int
    max_n: int
    buckets: int | None
    ngrams: int | None
    hashes: int | None
    seed: int | None
    begin_marker: str
    end_marker: str


class Embeddings(_native.Embeddings):
    """Word embeddings loaded from a finalfusion file, the matrix memory-mapped.

    Create one with :func:`mave.load`. Every vector is bit for bit the vector
    the ``_mave`` module gives for the same file and string. Any number of
    threads may use one object at once; batch methods release the
    interpreter lock while they work.

    Example:
        >>> e = mave.load("cc.en.300.fifu")
        >>> e["house"].shape
        (300,)
    """

    __slots__ = ()

    def __new__(cls, path: StrPath) -> Self:
        # The absolute path, so that a pickled object reopens the same file
        # from any working directory.
        return super().__new__(cls, os.path.abspath(os.fspath(path)))

    def __repr__(self) -> str:
        return (f"<mave.Embeddings {self.path!r}: {len(self):,} words, {self.dims} dims, "
                f"{self.vocab_kind} vocabulary, {self.storage_kind} matrix>")

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        # By path: the receiving process maps the same file, so that workers
        # on one machine share one copy of the matrix in the page cache.
        return (load, (self.path,))

    def similar(self, query: str | npt.ArrayLike, k: int = 10, *,
                threads: int | None = None) -> list[tuple[str, float]]:
        """The k vocabulary words nearest to `query` by cosine similarity.

        Args:
            query: a string (its vector; the string itself is left out of the
                answer when it is a vocabulary word) or a vector of ``dims``
                numbers.
            k: how many words to return at most.
            threads: threads to scan with; None chooses by the vocabulary's
                size (up to one per core).

        Returns:
            ``(word, cosine)`` pairs, best first; equal cosines in row order.
            Cosines are computed from the rows as stored, whatever their
            length. Quantized files are searched over their codes.

        Raises:
            KeyError: `query` is a string without a vector.

        Example:
            >>> e.similar("house", k=3)
            [('houses', 0.83...), ('home', 0.71...), ('building', 0.69...)]
        """
        if isinstance(query, str):
            vector = self[query]
            return self._nearest(vector, k, [self.index(query)] if query in self else [], threads)
        return self._nearest(query, k, [], threads)

    def analogy(self, a: str, b: str, c: str, k: int = 10, *,
                threads: int | None = None) -> list[tuple[str, float]]:
        """"a is to b as c is to ?": the words nearest to b - a + c.

        The three vectors are scaled to unit length first; the three strings
        are left out of the answer.

        Returns:
            ``(word, cosine)`` pairs, best first.

        Raises:
            KeyError: one of the strings has no vector.

        Example:
            >>> e.analogy("man", "king", "woman", k=1)
            [('queen', 0.76...)]
        """
        vectors = [self[word].astype(np.float64) for word in (a, b, c)]
        unit = [v / n if (n := np.linalg.norm(v)) > 0 else v for v in vectors]
        target = unit[1] - unit[0] + unit[2]
        exclude = [self.index(w) for w in dict.fromkeys((a, b, c)) if w in self]
        return self._nearest(target.astype(np.float32), k, exclude, threads)

    @property
    def metadata(self) -> dict[str, Any] | None:
        """The file's metadata (a TOML table) as a new dict, or None.

        Example:
            >>> e.metadata["dims"]
            300
        """
        text = self._metadata_toml
        return None if text is None else tomllib.loads(text)

    @property
    def subwords(self) -> SubwordSettings | None:
        """The subword settings, or None for a vocabulary without subwords.

        Example:
            >>> e.subwords.min_n, e.subwords.max_n
            (3, 6)
        """
        fields = self._subwords
        return None if fields is None else SubwordSettings(*fields)


def load(path: StrPath) -> Embeddings:
    """Loads a finalfusion file; the matrix is memory-mapped, not read.

    Reads the header, metadata and vocabulary, maps the dense or quantized
    matrix and reads the norms. Loading a file of millions of words takes
    a fraction of a second and almost no memory beyond the words.

    Args:
        path: the file, as str or path-like object.

    Returns:
        The embeddings.

    Raises:
        OSError: the file cannot be opened or read (``FileNotFoundError``,
            ``PermissionError``, ... with ``errno`` and ``filename`` set).
        mave.FormatError: the file is damaged or not a finalfusion file.

    Example:
        >>> e = mave.load("cc.en.300.fifu")
    """
    return Embeddings(path)
