"""The Embeddings class: a loaded file and everything asked of it."""

from __future__ import annotations

import dataclasses
from collections.abc import Callable, Iterable, Sequence
import os
from typing import TYPE_CHECKING, Any, Self, TypeAlias, cast

import numpy as np
import numpy.typing as npt

from mave import _native, _static, _texts
from mave._rows import unit_rows

if TYPE_CHECKING:
    import pyarrow as pa  # type: ignore[import-untyped]

    from mave._index import ApproximateIndex

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
    """Word embeddings loaded from a finalfusion file, the matrix memory-mapped,
    or a static sentence model loaded from its folder, the table mapped.

    Create one with :func:`mave.load`. Every vector of a finalfusion file is
    bit for bit the vector the ``_mave`` module gives for the same file and
    string. A static model's words are its tokens, its rows their vectors,
    and :meth:`encode` gives a text's vector. Any number of threads may use
    one object at once; batch methods release the interpreter lock while
    they work.

    Example:
        >>> e = mave.load("cc.en.300.fifu")
        >>> e["house"].shape
        (300,)
    """

    # The tokenizers package's tokenizer of a static model whose texts it
    # tokenizes, made on first use.
    __slots__ = ("_fallback_tokenizer",)

    def __new__(cls, path: StrPath) -> Self:
        # The absolute path, so that a pickled object reopens the same file
        # from any working directory.
        return super().__new__(cls, os.path.abspath(os.fspath(path)))

    def __repr__(self) -> str:
        static = self._static
        if static is not None:
            element = "float32" if self.storage_kind == "dense" else self.storage_kind
            return (
                f"<mave.Embeddings {self.path!r}: {len(self):,} tokens, {self.dims} dims, "
                f"static model, {static['tokenizer_model']} tokenizer, {element} table>"
            )
        return (
            f"<mave.Embeddings {self.path!r}: {len(self):,} words, {self.dims} dims, "
            f"{self.vocab_kind} vocabulary, {self.storage_kind} matrix>"
        )

    @property
    def _tokenization(self) -> str | None:
        """Who tokenizes a static model's texts: "native" (the core, without
        the interpreter lock) or "tokenizers" (the tokenizers package, for a
        tokenizer.json with a component the core does not tokenize); None
        for word vectors. Reads tokenizer.json the first time.

        Raises:
            mave.FormatError: the model's tokenizer.json is not valid.
        """
        if self._static is None:
            return None
        return self._tokenizer_info()["path"]

    def _tokenizer(self) -> Any:
        """The tokenizers package's tokenizer of a static model, loaded once."""
        tokenizer = getattr(self, "_fallback_tokenizer", None)
        if tokenizer is None:
            static = self._static
            assert static is not None
            tokenizer = _static.load_tokenizer(static["tokenizer"])
            self._fallback_tokenizer = tokenizer
        return tokenizer

    def __reduce__(self) -> tuple[Any, tuple[str]]:
        # By path: the receiving process maps the same file, so that workers
        # on one machine share one copy of the matrix in the page cache.
        return (load, (self.path,))

    def similar(
        self,
        query: Query,
        k: int = 10,
        *,
        negative: Query | None = None,
        restrict: Restrict = None,
        threads: int | None = None,
        approximate: bool | StrPath = False,
    ) -> list[tuple[str, float]]:
        """The k vocabulary words nearest to `query` by cosine similarity.

        Several terms combine as gensim's ``most_similar`` does: the query is
        the mean of the unit-length term vectors, positive terms weighted +1
        and negative ones -1. Every vocabulary word among the terms is left
        out of the answer.

        Args:
            query: the positive terms: a str (its vector; with a subword
                vocabulary also a string composed from its n-grams), a vector
                of ``dims`` numbers, or a sequence of str and vectors.
            k: how many words to return at most (at least 1).
            negative: the negative terms, in the same forms, or None.
            restrict: the candidates: None (every vocabulary word), an int N
                (the first N words, the most frequent in most files; more
                than the vocabulary means all), or an allow-list (a
                collection of vocabulary words, or a bool array of
                ``len(e)``).
            threads: threads to scan with; None chooses by the work (up to
                one per core).
            approximate: False (scan every candidate), True (ask the
                approximate-neighbours index that ``mave index FILE`` wrote
                beside the file, ``FILE.hnsw``), or the path of that index
                elsewhere. The index's candidates are re-ranked by exact
                cosine, so the cosines are true; a word the index misses is
                missing from the answer. With `restrict` the answer is the
                exact one (the index covers the whole vocabulary), though
                the index must still exist.

        Returns:
            ``(word, cosine)`` pairs, best first; equal cosines in row order.
            Cosines are computed from the rows as stored, whatever their
            length; quantized files are searched over their codes. Empty
            when the query has no direction (a zero vector).

        Raises:
            KeyError: a term is a string without a vector, or an allow-list
                word is not in the vocabulary.
            TypeError: a term, `k` or `restrict` of the wrong type.
            ValueError: no positive term, k < 1, a vector of the wrong
                length, restrict < 1 or a mask of the wrong length; an
                index that is not this file's.
            FileNotFoundError: `approximate` asks for an index that does
                not exist.
            ImportError: `approximate` without faiss installed
                (``pip install mave[serve]``).

        Example:
            >>> e.similar("house", k=3)
            [('houses', 0.83...), ('home', 0.71...), ('building', 0.69...)]
            >>> e.similar(["king", "woman"], negative="man", k=1)
            [('queen', 0.76...)]
            >>> e.similar("house", k=3, approximate=True)  # after mave index
            [('houses', 0.83...), ('home', 0.71...), ('building', 0.69...)]
        """
        k = _count(k)
        positive = self._terms(query, "query")
        if not positive:
            raise ValueError("similar needs at least one positive term")
        negatives = self._terms(negative, "negative")
        return self._ask(positive, negatives, k, restrict, False, threads, approximate)

    def analogy(
        self,
        a: Term,
        b: Term,
        c: Term,
        k: int = 10,
        *,
        method: str = "add",
        restrict: Restrict = None,
        threads: int | None = None,
    ) -> list[tuple[str, float]]:
        """ "a is to b as c is to ?": the words that best complete the analogy.

        ``method="add"`` (3CosAdd) ranks words by their cosine with the
        mean of the unit vectors of b, c and minus a (the direction of
        b - a + c); ``method="mul"`` (3CosMul, Levy and Goldberg 2014) by
        ``cos'(w, b) * cos'(w, c) / (cos'(w, a) + 1e-6)`` with each cosine
        shifted to [0, 1] as ``(1 + cos) / 2``, as gensim's
        ``most_similar_cosmul`` scores. The three words are left out of the
        answer.

        Args:
            a, b, c: str or vectors.
            k: how many words to return at most.
            method: "add" or "mul".
            restrict: the candidates, as for :meth:`similar`.
            threads: as for :meth:`similar`.

        Returns:
            ``(word, score)`` pairs, best first: cosines for "add", 3CosMul
            scores for "mul".

        Raises:
            KeyError: one of the strings has no vector.
            ValueError: an unknown `method`, or arguments as for
                :meth:`similar`.

        Example:
            >>> e.analogy("man", "king", "woman", k=1)
            [('queen', 0.76...)]
        """
        k = _count(k)
        cosmul = _method(method)
        for name, term in (("a", a), ("b", b), ("c", c)):
            if self._terms(term, name) != [term]:
                raise TypeError(f"{name} must be a str or a vector, not {type(term).__name__}")
        return self._ask([b, c], [a], k, restrict, cosmul, threads)

    def nearest(
        self,
        queries: Sequence[str] | npt.ArrayLike,
        k: int = 10,
        *,
        restrict: Restrict = None,
        exclude_self: bool = True,
        threads: int | None = None,
        approximate: bool | StrPath = False,
    ) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.float32]]:
        """The k nearest vocabulary rows of many queries at once.

        One blocked matrix product over the mapped rows (quantized files:
        distance tables over the codes), the best k kept per query as it
        goes, the interpreter lock released. Query i gets the rows and
        cosines ``similar`` gives for it.

        Args:
            queries: a 2-D array of shape (n, dims), or a sequence of str.
            k: how many rows per query (at least 1).
            restrict: the candidates, as for :meth:`similar`.
            exclude_self: leave a str query that is a vocabulary word out
                of its own answer.
            threads: as for :meth:`similar`.
            approximate: as for :meth:`similar`: the index's candidates,
                re-ranked by exact cosine.

        Returns:
            ``(rows, cosines)``: int64 row numbers and float32 cosines, both
            of shape (n, k), best first; row -1 and NaN where fewer than k
            rows qualify. ``e.words[row]`` is the word of a row.

        Raises:
            KeyError: a str query has no vector.
            TypeError, ValueError: as for :meth:`similar`; an array of the
                wrong shape.
            FileNotFoundError, ImportError: as for :meth:`similar`.

        Example:
            >>> rows, cosines = e.nearest(["house", "tree"], k=5)
            >>> [e.words[r] for r in rows[0]]
            ['houses', 'home', 'building', ...]
        """
        k = _count(k)
        index = self._approximate(approximate)
        n_rows, allowed = self._candidates(restrict)
        exclude: list[list[int]] = []
        if isinstance(queries, (str, bytes)):
            raise TypeError("queries must be a 2-D array or a sequence of str, not str")
        if isinstance(queries, Sequence) and queries and all(isinstance(q, str) for q in queries):
            words = list(queries)
            vectors, found = self.embed(words, threads=threads)
            if not found.all():
                raise KeyError(words[int(np.argmin(found))])
            exclude = [[self.index(w)] if exclude_self and w in self else [] for w in words]
            terms = vectors
        else:
            terms = _matrix(queries, self.dims)
            exclude = [[] for _ in range(len(terms))]
        if index is not None and restrict is None:
            return index.search(self, terms, k, exclude)
        offsets, rows = _exclusions(exclude)
        questions = _native.Questions(terms, exclude=rows, exclude_offsets=offsets)
        return self._search(questions, k, n_rows, allowed, False, threads)

    def similarity(self, a: Term, b: Term) -> float:
        """The cosine similarity of two strings or vectors.

        Returns:
            A float in [-1, 1]; NaN when a vector is zero.

        Raises:
            KeyError: a string has no vector.

        Example:
            >>> round(e.similarity("house", "home"), 2)
            0.71
        """
        u, v = (self._vector(t, name).astype(np.float64) for t, name in ((a, "a"), (b, "b")))
        with np.errstate(invalid="ignore", divide="ignore"):
            return float(u @ v / (np.linalg.norm(u) * np.linalg.norm(v)))

    def doesnt_match(self, words: Iterable[str]) -> str:
        """The word furthest from the others: the one whose unit vector has
        the lowest cosine with the mean of all their unit vectors (as
        gensim's ``doesnt_match``). Strings without a vector are ignored.

        Raises:
            ValueError: no string has a vector.

        Example:
            >>> e.doesnt_match(["breakfast", "cereal", "dinner", "lunch"])
            'cereal'
        """
        used = [w for w in _strings(words, "words") if self.get(w) is not None]
        if not used:
            raise ValueError("doesnt_match needs at least one word with a vector")
        unit = unit_rows(np.stack([self[w] for w in used]))
        mean = unit.mean(axis=0)
        mean /= np.linalg.norm(mean) or 1.0
        return min(zip((unit @ mean).tolist(), used))[1]

    def mean_vector(
        self, words: Iterable[Term], *, weights: Sequence[float] | None = None, normalize: bool = False
    ) -> Vector:
        """The mean of the unit vectors of the words that have one (as
        gensim's ``get_mean_vector``): each weighted (default 1), divided by
        the sum of the absolute weights of those used, then scaled to unit
        length when `normalize`.

        Args:
            words: str and vectors; strings without a vector are skipped.
            weights: one number per word, or None.
            normalize: scale the mean to unit length.

        Returns:
            A float32 vector of ``dims`` numbers.

        Raises:
            ValueError: no word has a vector, or weights of another length.

        Example:
            >>> e.mean_vector(["red", "house"], normalize=True).shape
            (300,)
        """
        terms = list(words) if not isinstance(words, str) else [words]
        w = [1.0] * len(terms) if weights is None else [float(x) for x in weights]
        if len(w) != len(terms):
            raise ValueError(f"weights has {len(w)} numbers for {len(terms)} words")
        total = 0.0
        mean = np.zeros(self.dims, dtype=np.float64)
        for term, weight in zip(terms, w):
            vector = self.get(term) if isinstance(term, str) else self._vector(term, "words")
            if vector is None:
                continue
            length = float(np.linalg.norm(vector.astype(np.float64)))
            if length > 0:
                mean += weight * vector.astype(np.float64) / length
            total += abs(weight)
        if total == 0:
            raise ValueError("mean_vector needs at least one word with a vector")
        mean /= total
        if normalize and (length := float(np.linalg.norm(mean))) > 0:
            mean /= length
        return mean.astype(np.float32)

    def mean_vectors(
        self, texts: Iterable[Any], *, tokenize: Tokenizer | None = None, threads: int | None = None
    ) -> npt.NDArray[np.float32]:
        """The mean vector of each text (of its tokens that have a vector),
        the rows ``mave.dask.mean_vectors`` gives, in this process without
        Dask. See :func:`mave.dask.mean_vectors` for the rules.

        Example:
            >>> e.mean_vectors(["a red house", "the tree"]).shape
            (2, 300)
        """
        return _texts.mean_vectors(texts, self, tokenize=tokenize, threads=threads)

    def encode(
        self,
        texts: Iterable[str] | str,
        *,
        normalize: bool | None = None,
        max_length: int | None = None,
        threads: int | None = None,
        out: npt.NDArray[np.float32] | None = None,
    ) -> npt.NDArray[np.float32]:
        """The vector of each text: the mean of its tokens' vectors.

        For a static sentence model the tokens are those of the model's
        tokenizer without special tokens, as Model2Vec takes them: the text's
        first max_length x m characters are tokenized (m: the median length
        of the vocabulary's tokens, rounded down), the first max_length ids
        kept, the unknown token's dropped; each token's row (through the
        model's mapping, times its weight) is added in float32 in the order
        of the text, the sum divided by the number of tokens and, when
        normalising, by its L2 norm. The bits are the same for any `threads`
        and any split of the texts into calls.

        For word vectors the tokens are the text's whitespace-separated
        words (the rows :meth:`mean_vectors` gives: unknown words composed
        from subwords where the model has them, skipped otherwise). A text
        without a token with a vector gives zeros.

        Args:
            texts: a sequence of str (a single str is one text).
            normalize: scale each vector to unit length (None: the model's
                setting, config.json's "normalize" or a Normalize module;
                word vectors: False).
            max_length: use at most this many tokens of each text (None: the
                model's limit, config.json's "max_length", 512 when it has
                none; word vectors: all).
            threads: threads to spread the work over (None: by its size).
            out: a writeable float32 array of shape (len(texts), dims) to
                fill and return instead of a new one.

        Returns:
            A float32 array of shape (len(texts), dims).

        Raises:
            TypeError: a text that is not str; an unsuitable `out`.
            ValueError: max_length < 1, or `out` of the wrong shape.
            mave.FormatError: the model's tokenizer.json cannot be read by
                the tokenizers package.
            ImportError: a model that needs the tokenizers package, which
                is not installed (``pip install 'mave[tokenizers]'``).

        Example:
            >>> e.encode(["a red house", "the tree"]).shape
            (2, 300)
        """
        items = [texts] if isinstance(texts, str) else _strings(texts, "texts")
        limit = _optional_count(max_length, "max_length")
        target = _output(out, len(items), self.dims)
        static = self._static
        if static is not None:
            return self._encode_tokens(items, static, normalize, limit, threads, target)
        tokens: Tokenizer | None = None if limit is None else (lambda t: t.split()[:limit])
        vectors = _texts.mean_vectors(items, self, tokenize=tokens, threads=threads)
        if normalize:
            vectors = unit_rows(vectors)
        if target is None:
            return vectors
        target[...] = vectors
        return target

    def _encode_tokens(
        self,
        items: list[str],
        static: dict[str, Any],
        normalize: bool | None,
        limit: int | None,
        threads: int | None,
        target: npt.NDArray[np.float32] | None,
    ) -> npt.NDArray[np.float32]:
        """encode() of a static model: tokenized and pooled by the core in one
        call without the interpreter lock, or, for a tokenizer.json the core
        does not tokenize, tokenized by the tokenizers package a block of
        texts at a time (which bounds the ids held) and pooled by the core."""
        if self._tokenization == "native":
            return self._encode(items, target, normalize, limit, threads)
        if limit is None:
            limit = static["max_length"]
        if normalize is None:
            normalize = bool(static["normalize"])
        result = np.empty((len(items), self.dims), np.float32) if target is None else target
        tokenizer = self._tokenizer()
        for start in range(0, len(items), _ENCODE_BLOCK):
            block = items[start : start + _ENCODE_BLOCK]
            ids, offsets = _static.token_ids(tokenizer, block, limit, static["chars_per_token"])
            self._pool(ids, offsets, result[start : start + len(block)], normalize, limit, threads)
        return result

    def _token_counts(self, texts: Sequence[str]) -> npt.NDArray[np.int64]:
        """How many tokens each text has, whole: a static model's tokens
        (without special tokens, the unknown ones counted), words for word
        vectors. The usage the service reports."""
        if self._static is not None:
            if self._tokenization == "native":
                return self._count_tokens(texts, None).reshape(-1)
            return _static.token_counts(self._tokenizer(), texts)
        return np.fromiter((len(t.split()) for t in texts), dtype=np.int64, count=len(texts))

    # --- the parts of the queries -------------------------------------------------

    def _terms(self, query: Query | None, what: str) -> list[Term]:
        """The terms of a query: one str or vector, or a sequence of them."""
        if query is None:
            return []
        if isinstance(query, str):
            return [query]
        if isinstance(query, np.ndarray):
            if query.ndim == 2:
                return list(query)
            return [query]
        if isinstance(query, Iterable) and not isinstance(query, (bytes, dict)):
            items = list(query)
            if items and all(
                isinstance(x, (int, float, np.number)) and not isinstance(x, bool) for x in items
            ):
                return [cast(Term, query)]  # one vector given as numbers
            for i, item in enumerate(items):
                if not isinstance(item, (str, np.ndarray, Sequence)) or isinstance(item, bytes):
                    raise TypeError(f"{what}[{i}] must be a str or a vector, not " f"{type(item).__name__}")
            return items
        raise TypeError(
            f"{what} must be a str or a vector, or a sequence of them, not " f"{type(query).__name__}"
        )

    def _vector(self, term: Term, what: str) -> Vector:
        if isinstance(term, str):
            return self[term]
        try:
            vector = np.asarray(term, dtype=np.float32)
        except (TypeError, ValueError):
            raise TypeError(
                f"{what} must be a str or a vector of {self.dims} numbers, not " f"{type(term).__name__}"
            ) from None
        if vector.shape != (self.dims,):
            raise ValueError(
                f"{what} has shape {vector.shape}, but the vectors have shape " f"({self.dims},)"
            )
        return vector

    def _candidates(self, restrict: Restrict) -> tuple[int, npt.NDArray[np.uint8] | None]:
        """The candidate rows: their number and, for an allow-list, their flags."""
        n = len(self)
        if restrict is None:
            return n, None
        if isinstance(restrict, (bool, np.bool_)):
            raise TypeError("restrict must be None, an int or an allow-list, not bool")
        if isinstance(restrict, (int, np.integer)):
            if restrict < 1:
                raise ValueError(f"restrict must be at least 1, got {restrict}")
            return min(int(restrict), n), None
        if isinstance(restrict, np.ndarray) and restrict.dtype == np.bool_:
            if restrict.shape != (n,):
                raise ValueError(f"restrict has shape {restrict.shape}, but there are {n} words")
            return n, restrict.astype(np.uint8)
        if isinstance(restrict, (str, bytes)) or not isinstance(restrict, Iterable):
            raise TypeError(
                "restrict must be None, an int, a collection of words or a bool "
                f"array, not {type(restrict).__name__}"
            )
        flags = np.zeros(n, dtype=np.uint8)
        for i, word in enumerate(restrict):
            if not isinstance(word, str):
                raise TypeError(f"restrict[{i}] must be str, not {type(word).__name__}")
            flags[self.index(word)] = 1
        return n, flags

    def _approximate(self, approximate: bool | StrPath) -> ApproximateIndex | None:
        """The index `approximate` asks for (an ApproximateIndex), or None."""
        if isinstance(approximate, (bool, np.bool_)):
            if not approximate:
                return None
            path = None
        elif isinstance(approximate, (str, os.PathLike)):
            path = approximate
        else:
            raise TypeError(
                "approximate must be a bool or the path of an index, not " f"{type(approximate).__name__}"
            )
        from mave import _index  # faiss and the index code only when asked for

        return _index.open_index(self, path)

    def _ask(
        self,
        positive: list[Term],
        negative: list[Term],
        k: int,
        restrict: Restrict,
        cosmul: bool,
        threads: int | None,
        approximate: bool | StrPath = False,
    ) -> list[tuple[str, float]]:
        """One question through the batched search (or the approximate
        index), as (word, score) pairs."""
        index = self._approximate(approximate)
        if index is not None and restrict is None:
            return self._ask_index(index, positive, negative, k)
        n_rows, allowed = self._candidates(restrict)
        terms = np.stack(
            [
                self._vector(t, "query" if i < len(positive) else "negative")
                for i, t in enumerate(positive + negative)
            ]
        )
        exclude = sorted({self.index(t) for t in positive + negative if isinstance(t, str) and t in self})
        words = self.words
        questions = _native.Questions(
            terms,
            positive=[len(positive)],
            negative=[len(negative)],
            exclude=np.array(exclude, dtype=np.uint64),
            exclude_offsets=[0, len(exclude)],
        )
        rows, scores = self._search(questions, min(k, n_rows), n_rows, allowed, cosmul, threads)
        return [(words[int(r)], float(s)) for r, s in zip(rows[0], scores[0]) if r >= 0]

    def _ask_index(
        self, index: ApproximateIndex, positive: list[Term], negative: list[Term], k: int
    ) -> list[tuple[str, float]]:
        """One question through the approximate index, as (word, cosine)
        pairs. It searches the direction the scan searches: the mean of the
        unit term vectors, negative ones subtracted (one term: itself)."""
        terms = positive + negative
        vectors = [self._vector(t, "query" if i < len(positive) else "negative") for i, t in enumerate(terms)]
        if len(vectors) == 1:
            target = vectors[0]
        else:
            unit = unit_rows(np.stack(vectors)).astype(np.float64)
            unit[len(positive) :] *= -1
            target = unit.sum(axis=0).astype(np.float32)
        exclude = sorted({self.index(t) for t in terms if isinstance(t, str) and t in self})
        rows, scores = index.search(self, target[None, :], min(k, len(self)), [exclude])
        words = self.words
        return [(words[r], s) for r, s in zip(rows[0].tolist(), scores[0].tolist()) if r >= 0]

    @property
    def metadata(self) -> dict[str, Any] | None:
        """The file's metadata (a TOML table) as a new dict, or None.

        Example:
            >>> e.metadata["dims"]
            300
        """
        return self._metadata

    @property
    def subwords(self) -> SubwordSettings | None:
        """The subword settings, or None for a vocabulary without subwords.

        Example:
            >>> e.subwords.min_n, e.subwords.max_n
            (3, 6)
        """
        fields = self._subwords
        return None if fields is None else SubwordSettings(*fields)

    def to_arrow(self) -> pa.Table:
        """Every vocabulary word and its vector as an Arrow table.

        The columns are ``word`` (string) and ``vector``
        (``fixed_size_list<float32>[dims]``), in row order, each vector as
        lookups give it. For a dense matrix the vector column is the mapped
        matrix itself, not a copy (the table keeps the file's mapping
        alive), and the word column is made from the vocabulary's bytes; a
        quantized matrix is rebuilt. Hand the table to LanceDB, Polars,
        DuckDB or ``pyarrow.parquet`` as it is.

        Returns:
            A ``pyarrow.Table`` of ``len(e)`` rows.

        Raises:
            ImportError: pyarrow is not installed (``pip install 'mave[arrow]'``).

        Example:
            >>> e.to_arrow().schema.field("vector").type
            FixedSizeListType(fixed_size_list<item: float>[300])
        """
        from mave import _arrow  # pyarrow only when asked for

        return _arrow.table(self)

    def to_arrow_batches(self, batch_size: int = 65536) -> pa.RecordBatchReader:
        """The rows of :meth:`to_arrow` a batch at a time, for tables larger
        than memory (a dense matrix is viewed, a quantized one rebuilt one
        batch at a time).

        Args:
            batch_size: rows per batch (at least 1); a batch whose words
                take more than 2 GiB is cut into smaller ones.

        Returns:
            A ``pyarrow.RecordBatchReader`` (iterate over it for
            ``RecordBatch`` es; ``read_all()`` makes the table).

        Raises:
            ImportError: pyarrow is not installed (``pip install 'mave[arrow]'``).
            ValueError: batch_size < 1.

        Example:
            >>> sum(b.num_rows for b in e.to_arrow_batches(10_000)) == len(e)
            True
        """
        rows = _optional_count(batch_size, "batch_size")
        if rows is None:
            raise TypeError("batch_size must be an int, not NoneType")
        from mave import _arrow

        return _arrow.batches(self, rows)


from mave._texts import Tokenizer  # noqa: E402  (after the class: _texts needs none of it)

# Texts tokenized and pooled per call of the core: bounds the ids held.
_ENCODE_BLOCK = 16384
Term: TypeAlias = "str | npt.ArrayLike"
Query: TypeAlias = "str | npt.ArrayLike | Sequence[str | npt.ArrayLike]"
Restrict: TypeAlias = "int | Iterable[str] | npt.NDArray[np.bool_] | None"


def _count(k: object) -> int:
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    return int(k)


def _optional_count(n: object, what: str) -> int | None:
    if n is None:
        return None
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TypeError(f"{what} must be an int or None, not {type(n).__name__}")
    if n < 1:
        raise ValueError(f"{what} must be at least 1, got {n}")
    return int(n)


def _output(out: object, n: int, dims: int) -> npt.NDArray[np.float32] | None:
    """`out` checked as a writeable float32 (n, dims) array, or None."""
    if out is None:
        return None
    if not isinstance(out, np.ndarray) or out.dtype != np.float32:
        raise TypeError(
            "out must be a float32 NumPy array, not " f"{getattr(out, 'dtype', type(out).__name__)}"
        )
    if out.shape != (n, dims):
        raise ValueError(f"out has shape {out.shape}, but ({n}, {dims}) is needed")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    return out


def _method(method: object) -> bool:
    """Whether `method` names 3CosMul ("mul") rather than 3CosAdd ("add")."""
    if method not in ("add", "mul"):
        raise ValueError(f"method must be 'add' or 'mul', not {method!r}")
    return method == "mul"


def _strings(words: Iterable[str], what: str) -> list[str]:
    if isinstance(words, str):
        raise TypeError(f"{what} must be a sequence of str, not str")
    items = list(words)
    for i, w in enumerate(items):
        if not isinstance(w, str):
            raise TypeError(f"{what}[{i}] must be str, not {type(w).__name__}")
    return items


def _matrix(queries: object, dims: int) -> npt.NDArray[np.float32]:
    try:
        terms = np.ascontiguousarray(queries, dtype=np.float32)
    except (TypeError, ValueError):
        raise TypeError(
            "queries must be a 2-D array of numbers or a sequence of str, not " f"{type(queries).__name__}"
        ) from None
    if terms.ndim != 2 or terms.shape[1] != dims:
        raise ValueError(f"queries has shape {terms.shape}, but (n, {dims}) is needed")
    return terms


def _exclusions(exclude: Sequence[Sequence[int]]) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.uint64]]:
    """Per-question excluded rows as (offsets, rows), the search's form."""
    counts = np.fromiter(map(len, exclude), dtype=np.uint64, count=len(exclude))
    offsets = np.zeros(len(exclude) + 1, dtype=np.uint64)
    np.cumsum(counts, out=offsets[1:])
    rows = np.fromiter((r for e in exclude for r in e), dtype=np.uint64, count=int(offsets[-1]))
    return offsets, rows


def load(path: StrPath) -> Embeddings:
    """Loads a finalfusion file or a static sentence model's folder; the
    matrix is memory-mapped, not read.

    A file: reads the header, metadata and vocabulary, maps the dense or
    quantized matrix and reads the norms. A folder: a Model2Vec model
    (config.json, tokenizer.json, model.safetensors) or a
    sentence-transformers StaticEmbedding model (modules.json and its
    module's folder, or config_sentence_transformers.json with
    tokenizer.json and model.safetensors): reads the configuration, the
    tokenizer's vocabulary and the safetensors header, and maps the table
    (float32, float16, bfloat16 or int8; with a mapping and weights when the
    file has them). Loading a file of millions of words or tokens takes a
    fraction of a second and almost no memory beyond the words.

    Args:
        path: the file or folder, as str or path-like object.

    Returns:
        The embeddings; for a folder with ``vocab_kind == "tokenizer"``.

    Raises:
        OSError: a file cannot be opened or read (``FileNotFoundError``,
            ``PermissionError``, ... with ``errno`` and ``filename`` set:
            for a folder, the file of its layout that is missing).
        mave.FormatError: the file is damaged or not a finalfusion file; a
            folder's configuration, tokenizer.json or safetensors file is
            damaged or does not fit the others (the error names the file).

    Example:
        >>> e = mave.load("cc.en.300.fifu")
        >>> m = mave.load("potion-base-8M")  # a Model2Vec folder
    """
    return Embeddings(path)
