"""Embedding many texts on a Dask cluster.

Each text becomes one vector: the mean of the vectors of its tokens. The
texts come as a Dask bag of str or as one column (a Dask Series) of a Dask
DataFrame; :func:`embed_texts` returns a Dask array with one float32 row per
text, in the texts' order. :func:`mean_vectors` computes the same rows in
one process, for a list of texts.

Every worker process opens the embeddings file itself, by its path, once:
the matrix is memory-mapped, so all workers on one machine share one copy
of it in the operating system's page cache. On a cluster the file must be
readable at the same absolute path on every machine (shared storage, or a
copy on each node).

Needs the ``dask`` extra: ``pip install 'mave[dask]'``.

Example:
    >>> import dask.bag as db, mave, mave.dask
    >>> e = mave.load("cc.en.300.fifu")
    >>> texts = db.from_sequence(["a red house", "the tree"], npartitions=2)
    >>> mave.dask.embed_texts(texts, e).compute().shape
    (2, 300)
"""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable
from typing import Any

import numpy as np
import numpy.typing as npt

from mave import _texts
from mave._embeddings import Embeddings, load
from mave._texts import Tokenizer

__all__ = ["embed_texts", "mean_vectors", "worker_memory"]


def mean_vectors(
    texts: Iterable[Any],
    embeddings: Embeddings,
    *,
    tokenize: Tokenizer | None = None,
    threads: int | None = None,
) -> npt.NDArray[np.float32]:
    """The mean vector of each text, in one process (the same as
    ``embeddings.mean_vectors(texts)``).

    A text is cut into tokens by ``tokenize`` (default: ``str.split``, runs
    of whitespace). Its vector is the mean of the vectors of those tokens
    that have one (vocabulary words, and with a subword vocabulary also
    strings composed from their n-grams): the vectors are summed in float64
    in token order, divided by their number and rounded once to float32. A
    text none of whose tokens has a vector, an empty text and a missing value
    (None, NaN or pandas' NA in a column) get a row of zeros.

    Args:
        texts: str values (a list, a pandas Series, any iterable).
        embeddings: the loaded embeddings.
        tokenize: a function from a text to its tokens (str).
        threads: threads for the lookups (None: one per core).

    Returns:
        A float32 array of shape (number of texts, embeddings.dims).

    Raises:
        TypeError: a text is neither str nor missing, or a token is not str.

    Example:
        >>> mave.dask.mean_vectors(["a red house", ""], e)[1].any()
        False
    """
    return _texts.mean_vectors(texts, embeddings, tokenize=tokenize, threads=threads)


def embed_texts(
    texts: Any, embeddings: Embeddings, *, tokenize: Tokenizer | None = None, threads: int | None = 1
) -> Any:
    """The mean vector of each text of a Dask bag or Dask Series.

    Each partition becomes one block of rows, computed by
    :func:`mean_vectors` in whichever worker runs it; the rows are bit for
    bit those :func:`mean_vectors` gives for the same texts in one process.
    Workers open the file by ``embeddings.path`` (once per process), so that
    path must be valid on every worker. ``tokenize`` is sent to the workers
    (cloudpickle takes lambdas and closures too).

    Args:
        texts: a ``dask.bag.Bag`` of str, or one column of a Dask DataFrame.
        embeddings: the loaded embeddings.
        tokenize: a function from a text to its tokens (default: whitespace).
        threads: lookup threads per task; 1 by default, since Dask already
            runs one task per worker thread.

    Returns:
        A lazy ``dask.array.Array`` of float32, shape (number of texts,
        embeddings.dims), one chunk per partition; the number of rows of
        each chunk is known once computed (``compute_chunk_sizes()``).

    Raises:
        TypeError: ``texts`` is neither a Dask bag nor a Dask Series (at
            once); a value or a token is not str (when computed).

    Example:
        >>> vectors = mave.dask.embed_texts(df["text"], e).compute()
    """
    import dask.array
    import dask.bag as db
    from dask.delayed import delayed

    da: Any = dask.array  # without annotations: its results are typed Any here
    if not isinstance(texts, db.Bag) and not _is_dask_series(texts):
        raise TypeError(f"texts must be a dask.bag.Bag or a Dask Series, not {type(texts).__name__}")
    task = delayed(_embed_partition, pure=True)
    dims = embeddings.dims
    blocks = [
        da.from_delayed(
            task(part, embeddings.path, tokenize, threads), shape=(np.nan, dims), dtype=np.float32
        )
        for part in texts.to_delayed()
    ]
    if not blocks:
        return da.zeros((0, dims), dtype=np.float32)
    return da.concatenate(blocks, axis=0)


def worker_memory(client: Any, embeddings: Embeddings) -> dict[str, dict[str, int]]:
    """What each worker process holds in memory, and how much of it is the
    embeddings file's mapping (Linux: read from /proc).

    Shows whether the workers of a machine share the matrix: the pages of a
    mapped file are counted in the resident memory of every process that
    touched them, but they are one copy in the page cache, which
    ``mapped_proportional`` divides among the processes that map it.

    Args:
        client: a ``distributed.Client``.
        embeddings: the embeddings the workers opened (by path).

    Returns:
        For each worker address, in bytes: ``resident`` (all resident
        memory), ``private`` (anonymous resident memory: the vocabulary,
        Python objects, results, but no page of a mapped file), ``mapped``
        (resident pages of the file's mappings) and ``mapped_proportional``
        (those pages divided by the number of processes that map each).

    Example:
        >>> mave.dask.worker_memory(client, e)
        {'tcp://127.0.0.1:40125': {'resident': ..., 'private': ..., ...}, ...}
    """
    result: dict[str, dict[str, int]] = client.run(_process_memory, embeddings.path)
    return result


def _process_memory(path: str) -> dict[str, int]:
    status: dict[str, int] = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "RssAnon"):
                status[key] = int(value.split()[0]) * 1024
    mapped = {"Rss": 0, "Pss": 0}
    real = os.path.realpath(path)
    inside = False
    with open("/proc/self/smaps") as f:
        for line in f:
            fields = line.split(maxsplit=5)
            if not fields[0].endswith(":"):  # a mapping's header: range, mode, ..., path
                inside = len(fields) == 6 and fields[5].rstrip("\n") == real
            elif inside and fields[0][:-1] in mapped:
                mapped[fields[0][:-1]] += int(fields[1]) * 1024
    return {
        "resident": status["VmRSS"],
        "private": status["RssAnon"],
        "mapped": mapped["Rss"],
        "mapped_proportional": mapped["Pss"],
    }


def _is_dask_series(texts: Any) -> bool:
    try:
        import dask.dataframe as dd
    except ImportError:  # dask without its dataframe part: no Series exists
        return False
    return isinstance(texts, dd.Series)


def _embed_partition(
    texts: Iterable[Any], path: str, tokenize: Tokenizer | None, threads: int | None
) -> npt.NDArray[np.float32]:
    return mean_vectors(texts, _open_once(path), tokenize=tokenize, threads=threads)


_opened: dict[tuple[str, int, int, int, int], Embeddings] = {}
_opened_lock = threading.Lock()
_OPENED_LIMIT = 4


def _open_once(path: str) -> Embeddings:
    """The process's one Embeddings of a file: a worker maps each file once,
    however many tasks it runs. A file replaced under the same path (a new
    inode, size or time) is opened anew."""
    st = os.stat(path)
    key = (path, st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    with _opened_lock:
        embeddings = _opened.get(key)
        if embeddings is None:
            if len(_opened) >= _OPENED_LIMIT:
                _opened.pop(next(iter(_opened)))
            embeddings = _opened[key] = load(path)
        return embeddings
