"""The data the measures of bench/run.py share, generated from the seed into
args.out and reused by later runs with the same sizes (each set is complete
once its `.complete` marker exists)."""

import subprocess
import sys

from common import dataset_dir, log, read_lines, write_lines
from measures_conversion import worker_convert


def new_dataset(args, name, what, n, seed_offset):
    """The folder of a data set, a generator seeded for it and the set's n
    generated words; the folder and None for both when an earlier run
    completed the set."""
    import numpy as np
    from make_fasttext_model import words

    d, done = dataset_dir(args, name)
    if done:
        return d, None, None
    log(f"generating {what} in {d}")
    d.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(args.seed + seed_offset)
    return d, rng, words(n, rng)


def new_fasttext_model(args, name, n, dims, buckets, seed_offset, **options):
    """A data set that starts as a fastText model.bin of n generated words:
    its folder, generator and vocabulary (None for both when complete)."""
    from make_fasttext_model import write_model

    d, rng, vocab = new_dataset(
        args, name, f"a fastText model of {n} words, {buckets} " f"buckets x {dims} dims", n, seed_offset
    )
    if rng is not None:
        write_model(d / "model.bin", vocab, dims, buckets, rng, **options)
    return d, rng, vocab


def make_dense(args, runner):
    """Words, a unit-row matrix and its norms, written as a finalfusion file,
    in gensim's format, as a fastText model without subwords (so that all
    three tools hold the same vectors), and as a product-quantized file; the
    known-word queries."""
    import numpy as np
    from fifu_files import write_dense, write_quantized
    from make_fasttext_model import write_model

    n, dims = args.words, args.dims
    d, rng, vocab = new_dataset(
        args, f"dense-{n}x{dims}-q{args.lookups}-s{args.seed}", f"{n} words x {dims} dims", n, 0
    )
    if rng is None:
        return d
    matrix = rng.standard_normal((n, dims), dtype=np.float32)
    norms = np.sqrt(np.einsum("ij,ij->i", matrix, matrix, dtype=np.float32))
    matrix /= norms[:, None]
    write_dense(d / "model.fifu", vocab, matrix, norms)
    text = [w.decode() for w in vocab]
    write_lines(d / "words.txt", text)
    write_lines(d / "known.txt", [text[i] for i in rng.integers(0, n, size=args.lookups)])
    write_model(d / "model0.bin", vocab, dims, 0, rng, output_rows=1, minn=0, maxn=0, word_rows=matrix)
    write_quantized(d / "pq.fifu", vocab, dims, args.pq_subquantizers, 256, rng)

    from gensim.models import KeyedVectors

    kv = KeyedVectors(dims, count=0, dtype=np.float32)
    kv.add_vectors(text, matrix)
    kv.save(str(d / "gensim.kv"))
    del kv, matrix
    (d / ".complete").touch()
    return d


def hot_queries(args, dense):
    """Known-word queries drawn from the first few thousand words only, so that
    their index entries and rows stay in the caches: the lookup's own cost
    without the memory latency of a large vocabulary."""
    import numpy as np

    path = dense / f"hot-{args.hot}.txt"
    if not path.exists():
        words = read_lines(dense / "words.txt", args.hot)
        rng = np.random.default_rng(args.seed + 3)
        write_lines(path, [words[i] for i in rng.integers(0, len(words), size=args.lookups)])
    return str(path)


def plain_quantized(args, dense):
    """The dense set's words in a product-quantized file like pq.fifu (the
    same subquantizers, centroids and norms drawn alike) without a
    projection: what a lookup costs when no rotation is applied."""
    import numpy as np
    from fifu_files import write_quantized

    path = dense / f"pq-plain-{args.pq_subquantizers}.fifu"
    if not path.exists():
        words = [w.encode() for w in read_lines(dense / "words.txt")]
        rng = np.random.default_rng(args.seed + 4)
        partial = path.with_name(path.name + ".partial")
        write_quantized(partial, words, args.dims, args.pq_subquantizers, 256, rng, projection=False)
        partial.rename(path)
    return path


def similar_queries(args, dense):
    """The first known-word queries, as the query words of similar."""
    path = dense / f"similar-{args.similar_queries}.txt"
    if not path.exists():
        write_lines(path, read_lines(dense / "known.txt", args.similar_queries))
    return str(path)


def misspellings(vocab, count, rng, lo=6, hi=15):
    """Strings of lo..hi characters made from vocabulary words by one or two
    edits (substitution, insertion, deletion, transposition), none of them a
    vocabulary word."""
    letters = "abcdefghijklmnopqrstuvwxyz"
    known = set(vocab)
    out = []
    while len(out) < count:
        w = list(vocab[int(rng.integers(len(vocab)))])
        for _ in range(int(rng.integers(1, 3))):
            op = int(rng.integers(4))
            i = int(rng.integers(len(w)))
            c = letters[int(rng.integers(26))]
            if op == 0:
                w[i] = c
            elif op == 1:
                w.insert(i, c)
            elif op == 2 and len(w) > 1:
                del w[i]
            elif i + 1 < len(w):
                w[i], w[i + 1] = w[i + 1], w[i]
        s = "".join(w)
        if lo <= len(s) <= hi and s not in known:
            out.append(s)
    return out


def make_subword(args, runner):
    """A fastText model with subwords (and the output matrix fastText's loader
    wants), its conversion, and out-of-vocabulary queries."""
    n, dims, buckets = args.ft_words, args.ft_dims, args.ft_buckets
    d, rng, vocab = new_fasttext_model(
        args, f"subword-{n}x{dims}-b{buckets}-q{args.oov}-s{args.seed}", n, dims, buckets, 1, output_rows=n
    )
    if rng is None:
        return d
    text = [w.decode() for w in vocab]
    write_lines(d / "oov.txt", misspellings(text, args.oov, rng))
    log("converting it with build_model")
    runner.child(
        worker_convert, {"tool": "mave", "input": str(d / "model.bin"), "output": str(d / "model.fifu")}
    )
    (d / ".complete").touch()
    return d


def make_conversion_input(args, runner):
    n, dims, buckets = args.conv_words, args.conv_dims, args.conv_buckets
    d, rng, vocab = new_fasttext_model(
        args, f"convert-{n}x{dims}-b{buckets}-s{args.seed}", n, dims, buckets, 2
    )
    if rng is None:
        return d
    (d / "vocab_bytes").write_text(str(sum(len(w) for w in vocab)))
    (d / ".complete").touch()
    return d


def gzip_copy(path):
    """path.gz beside path, as cc.*.vec.gz is published (gzip's default level)."""
    gz = path.with_name(path.name + ".gz")
    if not gz.exists():
        log(f"compressing {path} with gzip -6")
        part = gz.with_name(gz.name + ".part")
        with open(part, "wb") as out:
            subprocess.run(["gzip", "-6", "-c", str(path)], stdout=out, check=True)
        part.rename(gz)
    return gz


def make_import_inputs(args, runner):
    """The same words and vectors as a word2vec binary file and as a .vec text
    file, in the form gensim writes them: no newline after a binary row, the
    shortest decimal of each float32 in text; and the text gzipped."""
    import numpy as np

    n, dims = args.imp_words, args.dims
    d, rng, vocab = new_dataset(
        args, f"import-{n}x{dims}-s{args.seed}", f"{n} words x {dims} dims as word2vec binary and text", n, 3
    )
    if rng is None:
        gzip_copy(d / "vectors.vec")
        return d
    with open(d / "vectors.bin", "wb") as binary:
        binary.write(f"{n} {dims}\n".encode())
        for start in range(0, n, 10_000):
            block = rng.standard_normal((min(10_000, n - start), dims), dtype=np.float32)
            for word, row in zip(vocab[start : start + 10_000], block):
                binary.write(word + b" " + row.tobytes())
    # Printing 300M floats from Python takes many minutes; mave's text writer
    # (the shortest text of each float32, as gensim writes) takes seconds.
    subprocess.run(
        [
            sys.executable,
            "-c",
            "import sys, mave; mave.convert(sys.argv[1], sys.argv[2], "
            "src_format='word2vec', dst_format='text', normalize=False)",
            str(d / "vectors.bin"),
            str(d / "vectors.vec"),
        ],
        env=runner.env,
        check=True,
    )
    (d / "vocab_bytes").write_text(str(sum(len(w) for w in vocab)))
    gzip_copy(d / "vectors.vec")
    (d / ".complete").touch()
    return d
