"""The service's door to the model's queries: one call into `mave` per
endpoint, so that the service answers as `Embeddings.similar`, `analogy`,
`nearest` and `embed` do.

`approximate` None, the service's default, means "the index when the model
has one" (`mave index` wrote it beside the file).
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

from mave import _index
from mave._embeddings import Embeddings

__all__ = ["Term", "analogy", "nearest", "similar", "vectors"]

Term = str | Sequence[float]


def _use_index(e: Embeddings, approximate: bool | None) -> bool:
    return _index.has_index(e) if approximate is None else approximate


def similar(e: Embeddings, positive: Sequence[Term], k: int = 10, *,
            negative: Sequence[Term] = (), restrict: int | None = None,
            approximate: bool | None = None) -> list[tuple[str, float]]:
    return e.similar(list(positive), k, negative=list(negative), restrict=restrict,
                     approximate=_use_index(e, approximate))


def analogy(e: Embeddings, a: str, b: str, c: str, k: int = 10, *, method: str = "add",
            restrict: int | None = None) -> list[tuple[str, float]]:
    return e.analogy(a, b, c, k, method=method, restrict=restrict)


def nearest(e: Embeddings, queries: Sequence[Term], k: int = 10, *,
            approximate: bool | None = None
            ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
    use = _use_index(e, approximate)
    words = [i for i, q in enumerate(queries) if isinstance(q, str)]
    if len(words) in (0, len(queries)):
        return e.nearest(list(queries), k, approximate=use)
    # Words and vectors mixed: each kind asked in its own call (a word is
    # left out of its own answer, a vector excludes nothing), the answers
    # put back in the order of the queries.
    vectors = [i for i, q in enumerate(queries) if not isinstance(q, str)]
    rows = np.empty((len(queries), k), np.int64)
    cosines = np.empty((len(queries), k), np.float32)
    for where, asked in ((words, [queries[i] for i in words]), (vectors, [queries[i] for i in vectors])):
        rows[where], cosines[where] = e.nearest(asked, k, approximate=use)
    return rows, cosines


def vectors(e: Embeddings, words: Sequence[str]) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
    """The words' vectors (zero rows where not found) and which were found."""
    return e.embed(list(words))
