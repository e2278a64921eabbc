"""The standard evaluations of a model: analogy questions and word-pair
similarities, by the protocol of gensim's evaluate_word_analogies and
evaluate_word_pairs, so that figures compare with published ones."""

from __future__ import annotations

import dataclasses
import os
from collections.abc import Callable, Iterator
from typing import TypeAlias

import numpy as np
import numpy.typing as npt

from mave import _native
from mave._embeddings import Embeddings, _method
from mave._errors import FormatError

__all__ = ["AnalogyResult", "PairsResult", "evaluate_analogies", "evaluate_word_pairs"]

StrPath: TypeAlias = "str | os.PathLike[str]"

# Questions answered per batched search: bounds the memory of one batch
# (their answers) and paces the progress reports. Each batch scores its
# distinct words against the matrix once, so a batch holds the ~19.5k
# Google questions whole.
_BATCH_QUESTIONS = 32768
# gensim's evaluation takes the best of the first five answers that is not
# one of the question's words (their other spellings when case is folded).
_ANSWERS = 5


@dataclasses.dataclass(frozen=True)
class AnalogyResult:
    """The outcome of :func:`evaluate_analogies`.

    Attributes:
        accuracy: correct / answered (0.0 when nothing was answered).
        correct: questions whose best answer was the expected word.
        answered: questions all of whose four words are among the candidates.
        skipped: the other questions.
        sections: ``(name, correct, answered)`` per section, in file order.
    """

    accuracy: float
    correct: int
    answered: int
    skipped: int
    sections: list[tuple[str, int, int]]


@dataclasses.dataclass(frozen=True)
class PairsResult:
    """The outcome of :func:`evaluate_word_pairs`.

    Attributes:
        pearson: Pearson's correlation of the model's cosines with the
            human scores.
        spearman: Spearman's rank correlation (ties ranked by their average).
        oov_ratio: the percentage of pairs with a word outside the
            candidates.
        pairs: the number of pairs correlated.
    """

    pearson: float
    spearman: float
    oov_ratio: float
    pairs: int


def _lines(path: StrPath) -> Iterator[tuple[int, str]]:
    # Decoded line by line, so that text that is not UTF-8 is reported with
    # its line like any other malformed one.
    with open(path, "rb") as f:
        for number, raw in enumerate(f, 1):
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError as error:
                raise _format_error(
                    path, number, f"not valid UTF-8 (byte {error.start + 1} " "of the line)"
                ) from None
            yield number, line


def _format_error(path: StrPath, number: int, reason: str) -> FormatError:
    name = os.fspath(path)
    return FormatError(f"{name}: line {number}: {reason}", name, f"line {number}: {reason}")


def _candidates(e: Embeddings, restrict: int, case_insensitive: bool) -> dict[str, int]:
    """The words that may take part, each with its row. Folded to upper case,
    the first (most frequent) row of the words that fold alike stands for
    them all."""
    if isinstance(restrict, bool) or not isinstance(restrict, (int, np.integer)):
        raise TypeError(f"restrict must be an int, not {type(restrict).__name__}")
    if restrict < 1:
        raise ValueError(f"restrict must be at least 1, got {restrict}")
    words = e.words[: min(int(restrict), len(e))]
    if not case_insensitive:
        return {w: i for i, w in enumerate(words)}
    rows: dict[str, int] = {}
    for i, w in enumerate(words):
        rows.setdefault(w.upper(), i)
    return rows


def evaluate_analogies(
    e: Embeddings,
    path: StrPath,
    *,
    restrict: int = 300_000,
    case_insensitive: bool = True,
    method: str = "add",
    threads: int | None = None,
    progress: Callable[[int, int], object] | None = None,
) -> AnalogyResult:
    """Answers the analogy questions of a file ("a b c d": a is to b as c
    is to d) and counts the correct answers, as gensim's
    ``evaluate_word_analogies`` does.

    The file has ``: section`` lines, each followed by its questions, one
    per line. The candidates are the first `restrict` vocabulary words; a
    question with a word outside them is skipped. With `case_insensitive`
    words are compared upper-cased, the most frequent of the words that fold
    alike standing for them. A question's answer is the best of the first
    five words of ``analogy(a, b, c)`` that is not one of the question's
    words. All questions are answered in batched matrix products.

    Args:
        e: the embeddings.
        path: the questions (UTF-8), e.g. Mikolov et al.'s questions-words.txt.
        restrict: how many of the first words are candidates.
        case_insensitive: compare words upper-cased.
        method: "add" (3CosAdd, gensim's figures) or "mul" (3CosMul).
        threads: threads for the products (None: one per core).
        progress: called as ``progress(done, total)`` after each batch.

    Returns:
        An :class:`AnalogyResult`.

    Raises:
        OSError: the file cannot be read.
        mave.FormatError: a line is not four words or a section header,
            is not UTF-8, or a question comes before the first section (the
            line named).
        ValueError: restrict < 1 or an unknown method.

    Example:
        >>> r = mave.evaluate_analogies(e, "questions-words.txt")
        >>> r.accuracy, r.sections[0]
        (0.73..., ('capital-common-countries', 480, 506))
    """
    cosmul = _method(method)
    candidates = _candidates(e, restrict, case_insensitive)
    n_rows = min(int(restrict), len(e))
    names: list[str] = []
    # Per answerable question: its section and the rows of its four words.
    section_of: list[int] = []
    questions: list[tuple[int, int, int, int]] = []
    words: list[tuple[str, str, str, str]] = []
    skipped_per_section: list[int] = []
    for number, line in _lines(path):
        if line.startswith(": "):
            names.append(line.lstrip(": ").strip())
            skipped_per_section.append(0)
            continue
        fields = line.split()
        if not fields:
            continue
        if len(fields) != 4:
            raise _format_error(
                path, number, f"expected four words or a ': section' line, " f"found {len(fields)} fields"
            )
        if not names:
            raise _format_error(path, number, "a question before the first ': section' line")
        if case_insensitive:
            fields = [f.upper() for f in fields]
        a, b, c, d = fields
        rows = [candidates.get(w) for w in fields]
        if any(r is None for r in rows):
            skipped_per_section[-1] += 1
            continue
        section_of.append(len(names) - 1)
        questions.append((rows[0], rows[1], rows[2], rows[3]))  # type: ignore[arg-type]
        words.append((a, b, c, d))

    correct_per_section = [0] * len(names)
    answered_per_section = [0] * len(names)
    vocabulary = e.words
    total = len(questions)
    for start in range(0, total, _BATCH_QUESTIONS):
        batch = np.array(questions[start : start + _BATCH_QUESTIONS], dtype=np.int64)
        answers = _answers(e, batch, n_rows, cosmul, threads)
        for i, answer_rows in enumerate(answers.tolist()):
            q = start + i
            a, b, c, expected = words[q]
            ignore = {a, b, c}
            predicted = None
            for r in answer_rows:
                if r < 0:
                    break
                predicted = vocabulary[r].upper() if case_insensitive else vocabulary[r]
                if predicted in candidates and predicted not in ignore:
                    break
            section = section_of[q]
            answered_per_section[section] += 1
            correct_per_section[section] += predicted == expected
        if progress is not None:
            progress(min(start + _BATCH_QUESTIONS, total), total)
    correct = sum(correct_per_section)
    return AnalogyResult(
        accuracy=correct / total if total else 0.0,
        correct=correct,
        answered=total,
        skipped=sum(skipped_per_section),
        sections=list(zip(names, correct_per_section, answered_per_section)),
    )


def _answers(
    e: Embeddings, batch: npt.NDArray[np.int64], n_rows: int, cosmul: bool, threads: int | None
) -> npt.NDArray[np.int64]:
    """The first answers of each question (a, b, c, d): b and c positive, a
    negative, the three rows left out."""
    n = len(batch)
    # The questions share few words: each word's row is scored once against
    # the matrix, and the questions combine those scores.
    words, term_of = np.unique(batch[:, [1, 2, 0]].reshape(-1), return_inverse=True)
    terms = e.reconstruct(words.tolist()) if len(words) else np.zeros((0, e.dims), np.float32)
    exclude = batch[:, :3].astype(np.uint64).reshape(-1)
    offsets = np.arange(0, 3 * n + 1, 3, dtype=np.uint64)
    questions = _native.Questions(
        terms,
        positive=np.full(n, 2, dtype=np.uint32),
        negative=np.ones(n, dtype=np.uint32),
        exclude=exclude,
        exclude_offsets=offsets,
        term_of=term_of.astype(np.uint32).reshape(-1),
    )
    rows, _ = e._search(questions, _ANSWERS, n_rows, None, cosmul, threads)
    return rows


def evaluate_word_pairs(
    e: Embeddings,
    path: StrPath,
    *,
    delimiter: str = "\t",
    restrict: int = 300_000,
    case_insensitive: bool = True,
    dummy4unknown: bool = False,
) -> PairsResult:
    """Correlates the model's cosine similarities of word pairs with human
    scores, as gensim's ``evaluate_word_pairs`` does (WordSim-353,
    SimLex-999 and the like).

    Each line holds two words and a score separated by `delimiter`; lines
    starting with ``#`` are comments. A pair with a word outside the first
    `restrict` words is out of vocabulary: left out, or with
    `dummy4unknown` given a similarity of 0.

    Args:
        e: the embeddings.
        path: the pairs (UTF-8).
        delimiter: the field separator.
        restrict: how many of the first words may take part.
        case_insensitive: compare words upper-cased (the most frequent of
            the words that fold alike standing for them).
        dummy4unknown: count out-of-vocabulary pairs with similarity 0.

    Returns:
        A :class:`PairsResult`; its ratio is relative to all pairs (to the
        correlated pairs with `dummy4unknown`, as gensim reports it).

    Raises:
        OSError: the file cannot be read.
        mave.FormatError: a line without three fields, whose score is no
            number or that is not UTF-8 (the line named).
        ValueError: fewer than two pairs to correlate.

    Example:
        >>> r = mave.evaluate_word_pairs(e, "wordsim353.tsv")
        >>> round(r.spearman, 2), r.oov_ratio
        (0.66, 0.0)
    """
    candidates = _candidates(e, restrict, case_insensitive)
    gold: list[float] = []
    model: list[float] = []
    oov = 0
    for number, line in _lines(path):
        if line.startswith("#") or not line.strip():
            continue
        fields = line.rstrip("\r\n").split(delimiter)
        if len(fields) != 3:
            raise _format_error(
                path,
                number,
                f"expected two words and a score separated by " f"{delimiter!r}, found {len(fields)} fields",
            )
        a, b, score = fields
        try:
            human = float(score)
        except ValueError:
            raise _format_error(path, number, f"the score {score!r} is not a number") from None
        if case_insensitive:
            a, b = a.upper(), b.upper()
        if a not in candidates or b not in candidates:
            oov += 1
            if dummy4unknown:
                gold.append(human)
                model.append(0.0)
            continue
        gold.append(human)
        model.append(_cosine32(e, candidates[a], candidates[b]))
    if len(gold) < 2:
        raise ValueError(f"{os.fspath(path)}: fewer than two pairs to correlate")
    x = np.array(gold, dtype=np.float64)
    y = np.array(model, dtype=np.float64)
    ratio = oov / len(gold) * 100 if dummy4unknown else oov / (len(gold) + oov) * 100
    return PairsResult(
        pearson=_pearson(x, y), spearman=_pearson(_ranks(x), _ranks(y)), oov_ratio=ratio, pairs=len(gold)
    )


def _cosine32(e: Embeddings, a: int, b: int) -> float:
    """The cosine of two rows as float32 unit vectors give it, the way the
    reference figures are computed."""
    rows = e.reconstruct([a, b])
    lengths = np.sqrt((rows.astype(np.float64) ** 2).sum(axis=1)).astype(np.float32)
    unit = rows / lengths[:, None]
    return float(np.dot(unit[0], unit[1]))


def _ranks(values: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """Ranks from 1, tied values sharing the average of their ranks."""
    order = np.argsort(values, kind="stable")
    sorted_values = values[order]
    starts = np.r_[0, np.flatnonzero(np.diff(sorted_values)) + 1]
    ends = np.r_[starts[1:], len(values)]
    average = (starts + ends + 1) / 2.0
    ranks = np.empty(len(values), dtype=np.float64)
    ranks[order] = np.repeat(average, ends - starts)
    return ranks


def _pearson(x: npt.NDArray[np.float64], y: npt.NDArray[np.float64]) -> float:
    dx = x - x.mean()
    dy = y - y.mean()
    denominator = np.sqrt((dx @ dx) * (dy @ dy))
    return float(dx @ dy / denominator) if denominator > 0 else float("nan")
