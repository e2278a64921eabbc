"""The `mave` command line: convert, info, similar, analogy, evaluate and lookup.

Conventions (git's and argparse's): a failure prints one line
``mave: error: ...`` on stderr and exits 1; a usage error prints the usage
and exits 2; progress bars go to stderr, and only when it is a terminal.
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import json
import os
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, TextIO

import numpy as np

import mave
from mave import _index, _native
from mave._convert import ERRORS, FORMATS, OUTPUT_FORMATS

__all__ = ["main"]

# Subcommands defined in other modules. Each module has a function
# `register(subparsers)` that adds its parser (with add_parser, giving an
# example in its epilog) and sets `run=function(args) -> exit status` with
# set_defaults.
COMMAND_MODULES: tuple[str, ...] = ("mave._cli_quantize", "mave._cli_serve", "mave._cli_encode")


class CommandError(Exception):
    """A failure to report as one line and exit status 1."""


def example(text: str) -> dict[str, Any]:
    """The add_parser keywords that show `text` as the subcommand's example."""
    return {"epilog": "example:\n  " + text, "formatter_class": argparse.RawDescriptionHelpFormatter}


def progress_bar(quiet: bool) -> Callable[[str, int, int], None] | None:
    """A progress callback ``progress(phase, done, total)`` drawing one tqdm bar
    per phase on stderr, or None when bars are off (--quiet, or stderr is not a
    terminal)."""
    if quiet or not sys.stderr.isatty():
        return None
    from tqdm import tqdm  # only where a bar is drawn

    bars: dict[str, Any] = {}

    def progress(phase: str, done: int, total: int) -> None:
        bar = bars.get(phase)
        if bar is None:
            for other in bars.values():
                other.close()
            reading = phase == "read"
            desc = {"read": "reading", "write": "writing"}.get(phase, phase)
            unit = "B" if reading else " rows" if phase in ("write", "encoding") else ""
            bar = bars[phase] = tqdm(
                total=total or None, desc=desc, unit=unit, unit_scale=reading, file=sys.stderr, leave=False
            )
        bar.update(done - bar.n)

    return progress


def _load(path: str) -> mave.Embeddings:
    return mave.load(path)


# --- convert -----------------------------------------------------------------


def add_input_options(p: argparse.ArgumentParser) -> None:
    """--errors, --limit and --member: how a source is read (mave convert,
    mave quantize)."""
    p.add_argument(
        "--errors",
        choices=ERRORS,
        default="strict",
        help="words that are not valid UTF-8: refuse the file (strict, the default), put U+FFFD "
        "for each invalid sequence (replace) or drop the invalid bytes (ignore)",
    )
    p.add_argument("--limit", type=positive, metavar="N", help="read only the first N words")
    p.add_argument("--member", metavar="NAME", help="the file to read in a zip archive")


def _run_convert(args: argparse.Namespace) -> int:
    mave.convert(
        args.src,
        args.dst,
        src_format=args.src_format,
        dst_format=args.dst_format,
        normalize=args.normalize,
        progress=progress_bar(args.quiet),
        errors=args.errors,
        limit=args.limit,
        member=args.member,
        columns=args.columns,
    )
    return 0


def column_pair(text: str) -> tuple[str, str]:
    """An argparse type: two column names, "WORD,VECTOR"."""
    word, comma, vector = text.partition(",")
    if not comma or not word or not vector or "," in vector:
        raise argparse.ArgumentTypeError(f"must be two column names, WORD,VECTOR, not {text!r}")
    return word, vector


def _add_convert(sub: Any) -> None:
    p = sub.add_parser(
        "convert",
        help="convert embeddings between formats",
        description="Converts embeddings between formats: " + ", ".join(FORMATS) + " (fasttext: a fastText "
        ".bin model, read only; parquet: a table of words and vectors, through pyarrow), and writes "
        + ", ".join(OUTPUT_FORMATS)
        + ". The input's format comes from its first bytes and the "
        "output's from its extension (.fifu finalfusion, .bin word2vec, .vec text, .txt glove, "
        ".parquet) unless given. --to model2vec writes a folder: a static "
        "model (word-level tokenizer.json, model.safetensors, config.json, modules.json) that "
        "Model2Vec and sentence-transformers load; DST must not exist or be an empty folder. "
        "Vectors are written scaled to unit length, their lengths kept in a finalfusion file's "
        "norms, unless --no-normalize. The output appears only when complete.",
        **example(
            "mave convert GoogleNews-vectors-negative300.bin news.fifu\n"
            "  mave convert cc.de.300.vec cc.de.300.fifu --no-normalize\n"
            "  mave convert cc.de.300.fifu cc.de.300.parquet\n"
            "  mave convert table.parquet table.fifu --columns text,embedding\n"
            "  mave convert cc.en.300.fifu cc-en-static --to model2vec"
        ),
    )
    p.add_argument("src", metavar="SRC", help="the input file")
    p.add_argument(
        "dst", metavar="DST", help="the output file (replaced when complete), or folder for model2vec"
    )
    p.add_argument(
        "--from", dest="src_format", choices=FORMATS, metavar="FORMAT", help="the input's format: %(choices)s"
    )
    p.add_argument(
        "--to",
        dest="dst_format",
        choices=OUTPUT_FORMATS,
        metavar="FORMAT",
        help="the output's format: %(choices)s",
    )
    p.add_argument(
        "--no-normalize",
        dest="normalize",
        action="store_false",
        help="write the vectors as they are, not scaled to unit length",
    )
    add_input_options(p)
    p.add_argument(
        "--columns",
        type=column_pair,
        metavar="WORD,VECTOR",
        help="the word column (strings) and the vector column (lists of floats) of a "
        "Parquet input (default: word,vector)",
    )
    p.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    p.set_defaults(run=_run_convert)


# --- info ----------------------------------------------------------------------


def _info(e: mave.Embeddings) -> dict[str, Any]:
    storage = _native.storage_info(e)
    subwords = e.subwords
    norms = e.norms
    return {
        "path": e.path,
        "vocabulary": {"kind": e.vocab_kind, "words": len(e)},
        "dims": e.dims,
        "matrix": {"kind": e.storage_kind, **storage},
        "subwords": None if subwords is None else {k: v for k, v in vars(subwords).items() if v is not None},
        "norms": norms is not None,
        "metadata": e.metadata,
        "static": _static_info(e),
        "index": _index_info(e),
    }


def _static_info(e: mave.Embeddings) -> dict[str, Any] | None:
    """A static model's layout, tokenizer and pooling settings, and which
    path its texts take: the core's tokenizer ("native") or the tokenizers
    package's, for the component the core does not tokenize."""
    static = e._static
    if static is None:
        return None
    tokenizer = e._tokenizer_info()
    return {
        "layout": static["layout"],
        "tokenizer": static["tokenizer"],
        "tokenizer_model": static["tokenizer_model"],
        "tokenization": tokenizer["path"],
        "unsupported": tokenizer["unsupported"] or None,
        "pipeline": tokenizer["describe"],
        "tensors": static["tensors"],
        "dtype": static["dtype"],
        "mapping": static["mapping"],
        "weights": static["weights"],
        "normalize": static["normalize"],
        "max_length": static["max_length"],
    }


def _index_info(e: mave.Embeddings) -> dict[str, Any] | None:
    """The approximate-neighbours index beside the model: its path and
    calibration (or what is wrong with it), or None."""
    path = _index.index_path(e.path)
    if not os.path.exists(path):
        return None
    try:
        calibration = _index.read_calibration(path)
    except (OSError, ValueError) as error:
        return {"path": path, "error": str(error)}
    return {"path": path, **dataclasses.asdict(calibration), "text": calibration.describe()}


def _info_lines(info: dict[str, Any]) -> Iterator[tuple[str, str]]:
    yield "file", info["path"]
    s = info["static"]
    if s is not None:
        yield "model", f"static sentence model ({s['layout']} layout), {s['tokenizer']}"
        path = (
            "the core's tokenizer"
            if s["tokenization"] == "native"
            else (f"the tokenizers package (the core does not run: {s['unsupported']})")
        )
        yield "tokenizer", f"{s['tokenizer_model']}, tokenized by {path}"
        yield "pipeline", s["pipeline"]
        table = f"{s['tensors']}, {s['dtype']}"
        if s["mapping"]:
            table += ", token-to-row mapping"
        if s["weights"]:
            table += ", token weights"
        yield "table", table
        limit = "none" if s["max_length"] is None else f"{s['max_length']} tokens"
        yield "pooling", f"mean, at most {limit}, normalize {'yes' if s['normalize'] else 'no'}"
    unit = "tokens" if s is not None else "words"
    yield "vocabulary", f"{info['vocabulary']['kind']}, {info['vocabulary']['words']:,} {unit}"
    yield "dims", str(info["dims"])
    m = info["matrix"]
    text = f"{m['kind']}, {m['rows']:,} x {m['cols']:,}, {m['bytes']:,} bytes"
    if m["kind"] == "quantized":
        text += (
            f" ({m['subquantizers']} subquantizers of {m['centroids']} centroids"
            + (", projection" if m["projection"] else "")
            + (", norms" if m["norms"] else "")
            + ")"
        )
    yield "matrix", text
    s = info["subwords"]
    if s is None:
        yield "subwords", "none"
    else:
        text = f"{s['kind']}, n-grams of {s['min_n']} to {s['max_n']} characters"
        for key in ("buckets", "ngrams", "hashes", "seed"):
            if key in s:
                text += f", {key} {s[key]:,}"
        yield "subwords", text + f", markers {s['begin_marker']!r} {s['end_marker']!r}"
    yield "norms", "yes" if info["norms"] else "no"
    index = info["index"]
    yield "index", ("none" if index is None else f"{index['path']}: {index.get('text', index.get('error'))}")
    metadata = info["metadata"]
    if not metadata:
        yield "metadata", "none"
    else:
        for i, (key, value) in enumerate(sorted(metadata.items())):
            yield (
                "metadata" if i == 0 else "",
                f"{key} = {json.dumps(value, ensure_ascii=False, default=str)}",
            )


def _run_info(args: argparse.Namespace) -> int:
    info = _info(_load(args.file))
    if args.json:
        json.dump(info, sys.stdout, ensure_ascii=False, default=str, indent=2)
        sys.stdout.write("\n")
    else:
        lines = list(_info_lines(info))
        width = max(len(label) for label, _ in lines)
        for label, text in lines:
            print(f"{label:<{width}}  {text}")
    return 0


def _add_info(sub: Any) -> None:
    p = sub.add_parser(
        "info",
        help="describe a finalfusion file",
        description="Shows the vocabulary kind and size, the dimensions, the matrix kind and size, "
        "the subword settings, whether norms are stored, and the metadata.",
        **example("mave info cc.en.300.fifu\n  mave info --json cc.en.300.fifu | jq .vocabulary"),
    )
    p.add_argument("file", metavar="FILE", help="a finalfusion file")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=_run_info)


# --- similar, analogy ------------------------------------------------------------


def _print_scored(results: Iterable[tuple[str, float]]) -> None:
    results = list(results)
    width = max((len(word) for word, _ in results), default=0)
    for word, score in results:
        print(f"{word:<{width}}  {score:.4f}")


def _run_similar(args: argparse.Namespace) -> int:
    e = _load(args.file)
    _print_scored(e.similar(args.words, args.k, negative=args.negative or None, restrict=args.restrict))
    return 0


def _run_analogy(args: argparse.Namespace) -> int:
    _print_scored(
        _load(args.file).analogy(args.a, args.b, args.c, args.k, method=args.method, restrict=args.restrict)
    )
    return 0


def _run_evaluate(args: argparse.Namespace) -> int:
    e = _load(args.file)
    if args.kind == "analogies":
        bar = progress_bar(args.json)
        result = mave.evaluate_analogies(
            e,
            args.data,
            restrict=args.restrict,
            case_insensitive=not args.case_sensitive,
            method=args.method,
            progress=None if bar is None else (lambda done, total: bar("questions", done, total)),
        )
        if args.json:
            json.dump(dataclasses.asdict(result), sys.stdout, indent=2)
            sys.stdout.write("\n")
            return 0
        width = max([len(name) for name, _, _ in result.sections] + [5])
        for name, correct, answered in result.sections + [("total", result.correct, result.answered)]:
            accuracy = f"{correct / answered:.2%}" if answered else "-"
            print(f"{name:<{width}}  {correct:>6,} / {answered:>6,}  {accuracy:>7}")
        print(f"skipped (words outside the first {args.restrict:,}): {result.skipped:,}")
        return 0
    pairs = mave.evaluate_word_pairs(
        e, args.data, restrict=args.restrict, case_insensitive=not args.case_sensitive
    )
    if args.json:
        json.dump(dataclasses.asdict(pairs), sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        print(
            f"pearson   {pairs.pearson:.4f}\nspearman  {pairs.spearman:.4f}\n"
            f"pairs     {pairs.pairs}\noov       {pairs.oov_ratio:.2f}%"
        )
    return 0


def positive(text: str) -> int:
    """An argparse type: an int of at least 1."""
    k = int(text)
    if k < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {k}")
    return k


def _add_similar(sub: Any) -> None:
    p = sub.add_parser(
        "similar",
        help="the nearest words of words",
        description="Prints the k words whose vectors are nearest (cosine similarity) to each "
        "word's vector, with their similarity.",
        **example("mave similar cc.en.300.fifu house tree -k 5"),
    )
    p.add_argument("file", metavar="FILE", help="a finalfusion file")
    p.add_argument(
        "words",
        metavar="WORD",
        nargs="+",
        help="the positive words (several: the mean of their unit vectors)",
    )
    p.add_argument("--negative", metavar="WORD", nargs="+", default=[], help="words weighted -1 in the mean")
    p.add_argument("-k", type=positive, default=10, help="how many words (default %(default)s)")
    p.add_argument("--restrict", type=positive, metavar="N", help="only the first N words answer")
    p.set_defaults(run=_run_similar)

    p = sub.add_parser(
        "analogy",
        help="A is to B as C is to ...",
        description="Prints the k words nearest to B - A + C, leaving out A, B and C: "
        "the answers to 'A is to B as C is to ?'.",
        **example("mave analogy cc.en.300.fifu man king woman"),
    )
    p.add_argument("file", metavar="FILE", help="a finalfusion file")
    p.add_argument("a", metavar="A")
    p.add_argument("b", metavar="B")
    p.add_argument("c", metavar="C")
    p.add_argument("-k", type=positive, default=10, help="how many words (default %(default)s)")
    p.add_argument(
        "--method", choices=("add", "mul"), default="add", help="3CosAdd (add, default) or 3CosMul (mul)"
    )
    p.add_argument("--restrict", type=positive, metavar="N", help="only the first N words answer")
    p.set_defaults(run=_run_analogy)

    p = sub.add_parser(
        "evaluate",
        help="evaluate on analogy questions or word-pair similarities",
        description="analogies: answers the questions of a file (': section' lines, then "
        "'a b c d' per line) and prints the correct answers per section; pairs: correlates "
        "the cosines of word pairs (word, word, score per line) with human scores. The "
        "protocol and figures are gensim's evaluate_word_analogies and evaluate_word_pairs.",
        **example(
            "mave evaluate analogies cc.en.300.fifu questions-words.txt\n"
            "  mave evaluate pairs cc.en.300.fifu wordsim353.tsv --json"
        ),
    )
    p.add_argument("kind", choices=("analogies", "pairs"), metavar="KIND", help="analogies or pairs")
    p.add_argument("file", metavar="FILE", help="a finalfusion file")
    p.add_argument("data", metavar="DATA", help="the questions or pairs")
    p.add_argument(
        "--restrict",
        type=positive,
        default=300_000,
        metavar="N",
        help="candidates: the first N words (default %(default)s)",
    )
    p.add_argument("--case-sensitive", action="store_true", help="compare words as written")
    p.add_argument(
        "--method",
        choices=("add", "mul"),
        default="add",
        help="analogies: 3CosAdd (add, default) or 3CosMul (mul)",
    )
    p.add_argument("--json", action="store_true", help="print one JSON object")
    p.set_defaults(run=_run_evaluate)


# --- lookup ------------------------------------------------------------------------

_BATCH = 1024


def _batches(words: Iterable[str]) -> Iterator[list[str]]:
    batch: list[str] = []
    for word in words:
        batch.append(word)
        if len(batch) == _BATCH:
            yield batch
            batch = []
    if batch:
        yield batch


def _stdin_words(stdin: TextIO) -> Iterator[str]:
    for line in stdin:
        yield line.rstrip("\r\n")


def _run_lookup(args: argparse.Namespace) -> int:
    e = _load(args.file)
    words = args.words if args.words else _stdin_words(sys.stdin)
    missing = 0
    out = sys.stdout
    for batch in _batches(words):
        vectors, found = e.embed(batch)
        for word, vector, ok in zip(batch, vectors, found):
            if ok:
                # str of a float32 is its shortest round-tripping text.
                out.write(word + " " + " ".join(map(str, vector)) + "\n")
            else:
                missing += 1
                print(f"mave: no vector for {word!r}", file=sys.stderr)
        out.flush()
    return 1 if missing else 0


def _add_lookup(sub: Any) -> None:
    p = sub.add_parser(
        "lookup",
        help="print the vectors of words",
        description="Prints one line per word: the word and its values, separated by spaces (the "
        "lines of a .vec file). Without WORD arguments the words are read from standard input, "
        "one per line. A word without a vector is named on stderr and the exit status is 1.",
        **example(
            "mave lookup cc.en.300.fifu house tree\n"
            "  cut -f1 words.tsv | mave lookup cc.en.300.fifu > vectors.txt"
        ),
    )
    p.add_argument("file", metavar="FILE", help="a finalfusion file")
    p.add_argument("words", metavar="WORD", nargs="*", help="the words (default: read standard input)")
    p.set_defaults(run=_run_lookup)


# --- the program -------------------------------------------------------------------


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="mave",
        description="Word embeddings in the finalfusion format: convert, inspect, query.",
        **example("mave convert vectors.bin vectors.fifu && mave similar vectors.fifu house"),
    )
    parser.add_argument("--version", action="version", version=f"mave {mave.__version__}")
    sub = parser.add_subparsers(title="commands", metavar="COMMAND", required=True)
    for add in (_add_convert, _add_info, _add_similar, _add_lookup):
        add(sub)
    for name in COMMAND_MODULES:
        importlib.import_module(name).register(sub)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line and returns the exit status (the console script exits with it)."""
    args = _parser().parse_args(argv)
    try:
        status: int = args.run(args)
    except KeyboardInterrupt:
        print("mave: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`mave lookup ... | head`): not an error. The
        # rest of the output goes nowhere, so that the exit flush cannot fail.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, KeyError, MemoryError, ImportError, CommandError) as error:
        print(f"mave: error: {_message(error)}", file=sys.stderr)
        return 1
    return status


def _message(error: BaseException) -> str:
    if isinstance(error, KeyError) and error.args:
        return f"no such word: {error.args[0]!r}"
    if isinstance(error, MemoryError):
        return "out of memory"
    text = str(error) or type(error).__name__
    return " ".join(text.split("\n"))
