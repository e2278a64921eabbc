"""The service's door to the model's queries: one call into `mave` per
endpoint, so that the service answers as `Embeddings.similar`, `analogy`,
`nearest`, `embed` and `encode` do.

The door also draws the line between a client's mistake and a fault of the
server: the terms are checked against the model here (a vector of the wrong
length, the index asked of a model without one), and of the library's
failures only those it raises for its input (`KeyError` for a word without a
vector, `mave.FormatError`) become a `ServiceError`; anything else stays an
error of the server.

`approximate` None, the service's default, means "the index when the model
has one" (`mave index` wrote it beside the file).
"""

from __future__ import annotations

import bisect
import contextlib
import threading
from collections.abc import Iterator, Sequence

import numpy as np
import numpy.typing as npt

from mave import _index
from mave._embeddings import Embeddings
from mave._rows import unit_rows
from mave._errors import FormatError
from mave._serve._errors import ServiceError
from mave._serve._settings import model_name

__all__ = ["Completer", "Term", "analogy", "encode", "nearest", "similar", "vectors", "word_map"]

Term = str | Sequence[float]


@contextlib.contextmanager
def _library_errors() -> Iterator[None]:
    try:
        yield
    except KeyError as error:
        raise ServiceError(422, f"no vector for {error.args[0]!r}") from None
    except FormatError as error:
        raise ServiceError(422, str(error)) from None


def _check_terms(e: Embeddings, terms: Sequence[Term], what: str) -> None:
    for i, term in enumerate(terms):
        if not isinstance(term, str) and len(term) != e.dims:
            raise ServiceError(
                422, f"{what}[{i}] has shape ({len(term)},), but the vectors have " f"shape ({e.dims},)"
            )


def _use_index(e: Embeddings, approximate: bool | None) -> bool:
    if approximate is None:
        return _index.has_index(e)
    if approximate and not _index.has_index(e):
        raise ServiceError(
            422,
            f"model {model_name(e.path)!r} has no approximate-neighbours index: " "build it with mave index",
        )
    return approximate


def similar(
    e: Embeddings,
    positive: Sequence[Term],
    k: int = 10,
    *,
    negative: Sequence[Term] = (),
    restrict: int | None = None,
    approximate: bool | None = None,
) -> list[tuple[str, float]]:
    _check_terms(e, positive, "positive")
    _check_terms(e, negative, "negative")
    use = _use_index(e, approximate)
    with _library_errors():
        return e.similar(list(positive), k, negative=list(negative), restrict=restrict, approximate=use)


def analogy(
    e: Embeddings, a: str, b: str, c: str, k: int = 10, *, method: str = "add", restrict: int | None = None
) -> list[tuple[str, float]]:
    with _library_errors():
        return e.analogy(a, b, c, k, method=method, restrict=restrict)


def nearest(
    e: Embeddings, queries: Sequence[Term], k: int = 10, *, approximate: bool | None = None
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    _check_terms(e, queries, "queries")
    use = _use_index(e, approximate)
    words = [i for i, q in enumerate(queries) if isinstance(q, str)]
    with _library_errors():
        if len(words) in (0, len(queries)):
            return e.nearest(list(queries), k, approximate=use)
        # Words and vectors mixed: each kind asked in its own call (a word is
        # left out of its own answer, a vector excludes nothing), the answers
        # put back in the order of the queries.
        vectors = [i for i, q in enumerate(queries) if not isinstance(q, str)]
        rows = np.empty((len(queries), k), np.int64)
        cosines = np.empty((len(queries), k), np.float32)
        for where in (words, vectors):
            rows[where], cosines[where] = e.nearest([queries[i] for i in where], k, approximate=use)
        return rows, cosines


def vectors(e: Embeddings, words: Sequence[str]) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
    """The words' vectors (zero rows where not found) and which were found."""
    return e.embed(list(words))


def encode(
    e: Embeddings, texts: Sequence[str], dimensions: int | None = None
) -> tuple[npt.NDArray[np.float32], int]:
    """The texts' vectors (`e.encode`), cut to their first `dimensions`
    components and scaled back to unit length when `dimensions` is given,
    and how many tokens the texts hold (the model's own tokenization)."""
    if dimensions is not None and dimensions > e.dims:
        raise ServiceError(
            400,
            f"dimensions is {dimensions}, but the model {model_name(e.path)!r} " f"has {e.dims}",
            param="dimensions",
        )
    out = e.encode(texts)
    if dimensions is not None:
        out = unit_rows(np.ascontiguousarray(out[:, :dimensions]))
    return out, int(e._token_counts(texts).sum())


def word_map(e: Embeddings, word: str, k: int) -> list[tuple[str, float, float, float]]:
    """The word and its neighbours as (word, x, y, cosine), placed on the
    plane of the two principal components of their unit vectors."""
    with _library_errors():
        pairs = e.similar([word], k)
        words = [word] + [w for w, _ in pairs]
        rows = np.stack([e[w] for w in words])
    cosines = [1.0] + [c for _, c in pairs]
    points = pca_2d(rows)
    return [(w, float(x), float(y), float(c)) for w, (x, y), c in zip(words, points, cosines)]


def pca_2d(vectors: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    """Coordinates of the rows on their first two principal components
    (unit rows, so that the map shows direction, not length)."""
    x = unit_rows(vectors).astype(np.float64)
    x -= x.mean(axis=0)
    out = np.zeros((len(x), 2))
    if len(x) < 2:
        return out
    u, s, _ = np.linalg.svd(x, full_matrices=False)
    components = u[:, :2] * s[:2]
    out[:, : components.shape[1]] = components
    return out


class Completer:
    """Prefix completions from the vocabulary: the rows in word order, made
    once on first use (an int32 per word, not a second list of strings)."""

    def __init__(self, e: Embeddings) -> None:
        self._e = e
        self._order: npt.NDArray[np.int32] | None = None
        self._lock = threading.Lock()

    def __call__(self, prefix: str, limit: int) -> list[str]:
        words = self._e.words
        with self._lock:
            if self._order is None:
                self._order = np.array(sorted(range(len(words)), key=words.__getitem__), np.int32)
        order = self._order
        start = bisect.bisect_left(order, prefix, key=lambda row: words[int(row)])
        out = []
        for row in order[start : start + limit]:
            word = words[int(row)]
            if not word.startswith(prefix):
                break
            out.append(word)
        return out
