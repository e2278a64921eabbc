"""The service's one door to the model's queries, in the shape of
`Embeddings.similar`, `analogy` and `nearest` with positive and negative
terms, `restrict` and `approximate`.

The approximate index is not yet an option of those methods, so the
service's combinations are answered here with the same arithmetic (unit
vectors summed, words of the query left out, cosines over the rows as
stored) on the exact batched search, NumPy and the index.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from mave import _index
from mave._embeddings import Embeddings

__all__ = ["Term", "analogy", "nearest", "similar", "vectors"]

Term = str | Sequence[float]
Vector = npt.NDArray[np.float32]


def _vector(e: Embeddings, term: Term) -> Vector:
    if isinstance(term, str):
        return e[term]
    v = np.asarray(term, np.float32)
    if v.shape != (e.dims,):
        raise ValueError(f"a vector of {e.dims} numbers was expected, not {v.size}")
    if not np.isfinite(v).all():
        raise ValueError("a vector holds a value that is not a finite number")
    return v


def _unit(v: Vector) -> npt.NDArray[np.float64]:
    v64 = v.astype(np.float64)
    n = np.linalg.norm(v64)
    return v64 / n if n > 0 else v64


def _target(e: Embeddings, positive: Sequence[Term], negative: Sequence[Term]) -> tuple[Vector, list[int]]:
    """The direction to search and the rows of the words named in it."""
    if len(positive) == 1 and not negative:
        target = _vector(e, positive[0])
    else:
        total = np.zeros(e.dims)
        for term in positive:
            total += _unit(_vector(e, term))
        for term in negative:
            total -= _unit(_vector(e, term))
        target = total.astype(np.float32)
    if not np.any(target):
        raise ValueError("the query has no direction (its vector is zero)")
    words = [t for t in [*positive, *negative] if isinstance(t, str)]
    exclude = [e.index(w) for w in dict.fromkeys(words) if w in e]
    return target, exclude


def _scan(e: Embeddings, target: Vector, k: int, exclude: Sequence[int],
          restrict: int) -> list[tuple[str, float]]:
    """Exact search over the first `restrict` rows."""
    rows = np.arange(min(restrict, len(e.words)))
    keep = rows[~np.isin(rows, np.asarray(exclude, np.int64))]
    scores = _index.exact_cosines(e, target, keep)
    order = np.argsort(-scores, kind="stable")[:k]
    words = e.words
    return [(words[int(keep[i])], float(scores[i])) for i in order]


def _exact(e: Embeddings, targets: Vector, k: int, excludes: Sequence[Sequence[int]]
           ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """Exact search of every target over all vocabulary rows, each leaving
    out its own rows."""
    offsets = np.zeros(len(excludes) + 1, np.uint64)
    offsets[1:] = np.cumsum([len(x) for x in excludes])
    rows = np.asarray([r for x in excludes for r in x], np.uint64)
    return e._run_search(np.asarray(targets, np.float32).reshape(-1, e.dims), None, None, rows,
                         offsets, k, len(e.words), None, False, None)


def _index_for(e: Embeddings, approximate: bool | None) -> _index.ApproximateIndex | None:
    if approximate is False:
        return None
    found = _index.open_index(e)
    if found is None and approximate:
        raise LookupError(f"{e.path} has no index: build it with `mave index {e.path}`")
    return found


def similar(e: Embeddings, positive: Sequence[Term], k: int = 10, *,
            negative: Sequence[Term] = (), restrict: int | None = None,
            approximate: bool | None = None) -> list[tuple[str, float]]:
    """The k words nearest to the sum of the positive terms' unit vectors
    less the negative ones' (a single term: its vector as it is)."""
    target, exclude = _target(e, positive, negative)
    if restrict is not None:
        return _scan(e, target, k, exclude, restrict)
    index = _index_for(e, approximate)
    if index is not None:
        rows, cosines = index.search(e, target[None, :], k, [exclude])
        words = e.words
        return [(words[int(r)], float(c)) for r, c in zip(rows[0], cosines[0]) if r >= 0]
    rows, cosines = _exact(e, target, k, [exclude])
    words = e.words
    return [(words[int(r)], float(c)) for r, c in zip(rows[0], cosines[0]) if r >= 0]


def analogy(e: Embeddings, a: str, b: str, c: str, k: int = 10, *, method: str = "add",
            restrict: int | None = None) -> list[tuple[str, float]]:
    """"a is to b as c is to ?": by the sum b - a + c of unit vectors
    ("add"), or by the product of the shifted cosines ("mul", 3CosMul)."""
    if method == "add":
        if restrict is None:
            return e.analogy(a, b, c, k)
        return similar(e, [b, c], k, negative=[a], restrict=restrict)
    units = [_unit(e[w]).astype(np.float32) for w in (a, b, c)]
    exclude = np.asarray([e.index(w) for w in dict.fromkeys((a, b, c)) if w in e], np.int64)
    rows = np.arange(len(e.words) if restrict is None else min(restrict, len(e.words)))
    scores = np.empty(len(rows), np.float32)
    for start in range(0, len(rows), 100_000):
        part = rows[start:start + 100_000]
        shifted = [(_index.exact_cosines(e, u, part) + 1) / 2 for u in units]
        scores[start:start + len(part)] = shifted[1] * shifted[2] / (shifted[0] + np.float32(1e-3))
    scores[exclude[exclude < len(rows)]] = -np.inf
    order = np.argsort(-scores, kind="stable")[:k]
    words = e.words
    return [(words[int(i)], float(scores[i])) for i in order if np.isfinite(scores[i])]


def nearest(e: Embeddings, queries: Sequence[Term], k: int = 10, *,
            exclude_self: bool = True, approximate: bool | None = None
            ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    """The k rows nearest to each query: ``(rows, cosines)`` of shape
    (n, k), padded with row -1 and cosine NaN."""
    targets = np.stack([_vector(e, q) for q in queries]) if queries else np.zeros((0, e.dims), np.float32)
    excludes = [[e.index(q)] if exclude_self and isinstance(q, str) and q in e else [] for q in queries]
    index = _index_for(e, approximate)
    if index is not None:
        return index.search(e, targets, k, excludes)
    return _exact(e, targets, k, excludes)


def vectors(e: Embeddings, words: Sequence[str]) -> tuple[Vector, npt.NDArray[np.bool_]]:
    """The words' vectors (zero rows where not found) and which were found."""
    return e.embed(words)
