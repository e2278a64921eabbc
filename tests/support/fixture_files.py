"""Small valid files of every kind, with a map of their fixed-width fields.

Each fixture is a `Fixture`: the bytes of one file and the list of its
fixed-width fields (header, chunk identifiers and lengths, counts, string
lengths, element types, flags, settings), each as (offset, width, name,
is_count). Bulk data (words, float values) is not listed. The hostile-file
tests truncate and corrupt these files; fuzz/make_corpus.py writes them out
as the fuzzers' seed corpus.

finalfusion files: every vocabulary kind (simple, bucket, fastText, explicit,
floret) with dense and quantized storage, with and without metadata and
norms. fastText models: small binary models as fastText writes them.
"""

import struct
from dataclasses import dataclass, field

import fifu

FASTTEXT_MAGIC = 793712314


@dataclass
class Field:
    offset: int
    width: int
    name: str
    is_count: bool  # a count or length that sizes what follows


@dataclass
class Fixture:
    name: str
    data: bytes
    fields: list = field(default_factory=list)


class Builder:
    """Appends little-endian fields and records where the fixed-width ones are."""

    def __init__(self):
        self.data = bytearray()
        self.fields = []

    def put(self, fmt, value, name, *, count=False, record=True):
        offset = len(self.data)
        self.data += struct.pack("<" + fmt, value)
        if record:
            self.fields.append(Field(offset, struct.calcsize(fmt), name, count))
        return offset

    def raw(self, data):
        self.data += data

    def item(self, text, name):
        data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
        self.put("I", len(data), f"{name} length", count=True)
        self.raw(data)

    def padding(self):
        self.raw(bytes(fifu.padding_for(len(self.data))))

    def f32s(self, values):
        self.raw(struct.pack(f"<{len(values)}f", *values))

    def start_chunk(self, identifier, name):
        """Identifier and a chunk length patched by end_chunk."""
        self.put("I", identifier, f"{name} identifier")
        return self.put("Q", 0, f"{name} chunk length", count=True)

    def end_chunk(self, length_at):
        struct.pack_into("<Q", self.data, length_at, len(self.data) - length_at - 8)

    def fixture(self, name):
        return Fixture(name, bytes(self.data), list(self.fields))


# --- finalfusion chunks ------------------------------------------------------


def header(b, identifiers):
    b.put("4s", b"FiFu", "magic")
    b.put("I", 0, "version")
    b.put("I", len(identifiers), "chunk identifier count", count=True)
    for code in identifiers:
        b.put("I", code, "chunk identifier")


def metadata(b, text):
    data = text.encode("utf-8")
    b.put("I", fifu.METADATA, "metadata identifier")
    b.put("Q", len(data), "metadata length", count=True)
    b.raw(data)


def words_chunk(b, kind, words, *, min_n=3, max_n=6, buckets=None, ngrams=None):
    """The simple vocabulary or one of the three subword kinds with words."""
    name = {
        fifu.SIMPLE_VOCAB: "simple",
        fifu.BUCKET_SUBWORD_VOCAB: "bucket",
        fifu.FASTTEXT_SUBWORD_VOCAB: "fasttext",
        fifu.EXPLICIT_SUBWORD_VOCAB: "explicit",
    }[kind]
    at = b.start_chunk(kind, f"{name} vocab")
    b.put("Q", len(words), "word count", count=True)
    if kind == fifu.EXPLICIT_SUBWORD_VOCAB:
        b.put("Q", len(ngrams), "ngram count", count=True)
    if kind != fifu.SIMPLE_VOCAB:
        b.put("I", min_n, "min_ngram_len", count=True)
        b.put("I", max_n, "max_ngram_len", count=True)
    if kind in (fifu.BUCKET_SUBWORD_VOCAB, fifu.FASTTEXT_SUBWORD_VOCAB):
        b.put("I", buckets, "buckets", count=True)
    for w in words:
        b.item(w, "word")
    for text, index in ngrams or []:
        b.item(text, "ngram")
        b.put("Q", index, "ngram index")
    b.end_chunk(at)


def floret_chunk(b, *, min_n=3, max_n=6, buckets=5, hashes=2, seed=7, begin="<", end=">"):
    at = b.start_chunk(fifu.FLORET_SUBWORD_VOCAB, "floret vocab")
    b.put("I", min_n, "min_ngram_len", count=True)
    b.put("I", max_n, "max_ngram_len", count=True)
    b.put("Q", buckets, "buckets", count=True)
    b.put("I", hashes, "hash count", count=True)
    b.put("I", seed, "seed")
    b.item(begin, "begin marker")
    b.item(end, "end marker")
    b.end_chunk(at)


def dense_chunk(b, matrix):
    cols = len(matrix[0]) if matrix else 0
    at = b.start_chunk(fifu.ND_ARRAY, "matrix")
    b.put("Q", len(matrix), "rows", count=True)
    b.put("I", cols, "cols", count=True)
    b.put("I", fifu.FLOAT32, "element type")
    b.padding()
    for row in matrix:
        b.f32s(row)
    b.end_chunk(at)


def quantized_chunk(
    b, codes, *, quantized_len, reconstructed_len, n_centroids, projection=False, norms=False
):
    """A product-quantized matrix: `codes` holds quantized_len codes per row;
    centroid values, projection and norms are fixed small numbers."""
    sub_len = reconstructed_len // quantized_len
    at = b.start_chunk(fifu.QUANTIZED_ARRAY, "quantized")
    b.put("I", int(projection), "projection flag")
    b.put("I", int(norms), "norms flag")
    b.put("I", quantized_len, "quantized_len", count=True)
    b.put("I", reconstructed_len, "reconstructed_len", count=True)
    b.put("I", n_centroids, "n_centroids", count=True)
    b.put("Q", len(codes), "n_embeddings", count=True)
    b.put("I", fifu.UINT8, "code type")
    b.put("I", fifu.FLOAT32, "value type")
    b.padding()
    if projection:
        b.f32s([1.0 if i % (reconstructed_len + 1) == 0 else 0.25 for i in range(reconstructed_len**2)])
    b.f32s([0.5 * (i % 7) - 1.0 for i in range(quantized_len * n_centroids * sub_len)])
    if norms:
        b.f32s([1.0 + i for i in range(len(codes))])
    for row in codes:
        for q, code in enumerate(row):
            b.put("B", code, f"code {q}")
    b.end_chunk(at)


def norms_chunk(b, values):
    at = b.start_chunk(fifu.ND_NORMS, "norms")
    b.put("Q", len(values), "norms count", count=True)
    b.put("I", fifu.FLOAT32, "norms element type")
    b.padding()
    b.f32s(values)
    b.end_chunk(at)


# --- whole finalfusion files -------------------------------------------------

WORDS = ["Haus", "Baum", "grün"]
META = 'model = "test"\n[training]\ndims = 4\nloss = 0.25\n'


def rows(n, cols):
    return [[0.25 * (r + 1) - 0.5 * c for c in range(cols)] for r in range(n)]


def embeddings_file(name, vocab, storage, *, meta=False, with_norms=False):
    """vocab and storage are (identifier, writer(builder)) pairs."""
    ids = ([fifu.METADATA] if meta else []) + [vocab[0], storage[0]] + ([fifu.ND_NORMS] if with_norms else [])
    b = Builder()
    header(b, ids)
    if meta:
        metadata(b, META)
    vocab[1](b)
    storage[1](b)
    if with_norms:
        norms_chunk(b, [1.5, 0.5, 2.0][:3])
    return b.fixture(name)


def simple(words=WORDS):
    return fifu.SIMPLE_VOCAB, lambda b: words_chunk(b, fifu.SIMPLE_VOCAB, words)


def bucket(exponent=2):
    return fifu.BUCKET_SUBWORD_VOCAB, lambda b: words_chunk(
        b, fifu.BUCKET_SUBWORD_VOCAB, WORDS, buckets=exponent
    )


def fasttext_vocab(buckets=5):
    return fifu.FASTTEXT_SUBWORD_VOCAB, lambda b: words_chunk(
        b, fifu.FASTTEXT_SUBWORD_VOCAB, WORDS, buckets=buckets
    )


EXPLICIT_NGRAMS = [("<Ha", 7), ("aus", 3), ("<a>", 3), ("um>", 7), ("grü", 11)]


def explicit():
    return fifu.EXPLICIT_SUBWORD_VOCAB, lambda b: words_chunk(
        b, fifu.EXPLICIT_SUBWORD_VOCAB, WORDS, ngrams=EXPLICIT_NGRAMS
    )


def floret(buckets=5):
    return fifu.FLORET_SUBWORD_VOCAB, lambda b: floret_chunk(b, buckets=buckets)


def dense(n_rows, cols=4):
    return fifu.ND_ARRAY, lambda b: dense_chunk(b, rows(n_rows, cols))


def quantized(n_rows, **options):
    q, r, c = 2, 4, 3
    codes = [[(i + k) % c for k in range(q)] for i in range(n_rows)]
    return fifu.QUANTIZED_ARRAY, lambda b: quantized_chunk(
        b, codes, quantized_len=q, reconstructed_len=r, n_centroids=c, **options
    )


def finalfusion_fixtures():
    """name -> Fixture; row counts match what each vocabulary addresses."""
    n_words = len(WORDS)
    distinct_ngram_indices = len({index for _, index in EXPLICIT_NGRAMS})
    fixtures = [
        embeddings_file("simple-dense", simple(), dense(n_words)),
        embeddings_file("simple-dense-meta-norms", simple(), dense(n_words), meta=True, with_norms=True),
        embeddings_file("simple-empty", simple([]), dense(0, 0)),
        embeddings_file("bucket-dense-norms", bucket(2), dense(n_words + 4), with_norms=True),
        embeddings_file("fasttext-dense-meta", fasttext_vocab(5), dense(n_words + 5), meta=True),
        embeddings_file(
            "explicit-dense-norms", explicit(), dense(n_words + distinct_ngram_indices), with_norms=True
        ),
        embeddings_file("floret-dense-meta", floret(5), dense(5), meta=True),
        embeddings_file("simple-quantized", simple(), quantized(n_words)),
        embeddings_file(
            "fasttext-quantized-projection-norms",
            fasttext_vocab(5),
            quantized(n_words + 5, projection=True, norms=True),
            with_norms=True,
        ),
        embeddings_file(
            "explicit-quantized-norms-meta",
            explicit(),
            quantized(n_words + distinct_ngram_indices, norms=True),
            meta=True,
        ),
        embeddings_file("floret-quantized-projection", floret(5), quantized(5, projection=True)),
        embeddings_file("bucket-quantized", bucket(1), quantized(n_words + 2)),
    ]
    return {f.name: f for f in fixtures}


# --- fastText models ---------------------------------------------------------


def fasttext_model(
    name, words, *, dims=4, min_n=3, max_n=6, buckets=5, version=12, loss=2, model=2, output_matrix=True
):
    """A fastText binary model: header, settings, dictionary, input matrix,
    and (as fastText writes it) an output matrix that readers ignore."""
    b = Builder()
    b.put("I", FASTTEXT_MAGIC, "magic")
    b.put("I", version, "version")
    settings = [
        ("dims", dims, False),
        ("window_size", 5, False),
        ("epoch", 5, False),
        ("min_count", 1, False),
        ("neg", 5, False),
        ("word_ngrams", 1, False),
        ("loss", loss, False),
        ("model", model, False),
        ("bucket", buckets, True),
        ("min_n", min_n, True),
        ("max_n", max_n, True),
        ("lr_update_rate", 100, False),
    ]
    for key, value, count in settings:
        b.put("I", value, key, count=count)
    b.put("d", 1e-4, "sampling_threshold")
    b.put("I", len(words), "vocab_size", count=True)
    b.put("I", len(words), "word_count")
    b.put("I", 0, "label_count", count=True)
    b.put("Q", 10 * len(words), "token_count")
    b.put("q", -1, "pruned_vocab_size")
    for i, w in enumerate(words):
        b.raw(w.encode("utf-8") + b"\0")
        b.put("Q", len(words) - i, "word frequency")
        b.put("B", 0, "entry type")
    b.put("B", 0, "quantized flag")
    n_rows = len(words) + buckets
    b.put("Q", n_rows, "row_count", count=True)
    b.put("Q", dims, "column_count", count=True)
    b.f32s([0.125 * ((i * 7) % 11) - 0.5 for i in range(n_rows * dims)])
    if output_matrix:
        b.put("B", 0, "output quantized flag", record=False)
        b.put("Q", len(words), "output rows", record=False)
        b.put("Q", dims, "output cols", record=False)
        b.f32s([0.0] * (len(words) * dims))
    return b.fixture(name)


def fasttext_fixtures():
    fixtures = [
        fasttext_model("ft-small", ["the", "Haus", "grün", "a"]),
        fasttext_model("ft-no-words", [], buckets=3, output_matrix=False),
        fasttext_model("ft-minn1-version0", ["über", "é", "x"], min_n=1, max_n=3, version=0, loss=1, model=1),
    ]
    return {f.name: f for f in fixtures}


def real_fasttext_fields(data):
    """The fixed-width fields of a real fastText model: everything before the
    dictionary, each entry's count and type, and the matrix header. Returns
    (fields, offset of the input matrix data, offset where it ends); for a
    quantized model the fields end at the quantized flag and both offsets are
    that flag's."""
    fields = []

    def put(offset, width, name, count=False):
        fields.append(Field(offset, width, name, count))

    put(0, 4, "magic")
    put(4, 4, "version")
    names = [
        "dims",
        "window_size",
        "epoch",
        "min_count",
        "neg",
        "word_ngrams",
        "loss",
        "model",
        "bucket",
        "min_n",
        "max_n",
        "lr_update_rate",
    ]
    for i, key in enumerate(names):
        put(8 + 4 * i, 4, key, key in ("bucket", "min_n", "max_n"))
    put(56, 8, "sampling_threshold")
    (vocab_size,) = struct.unpack_from("<I", data, 64)
    put(64, 4, "vocab_size", True)
    put(68, 4, "word_count")
    put(72, 4, "label_count", True)
    put(76, 8, "token_count")
    put(84, 8, "pruned_vocab_size")
    at = 92
    for _ in range(vocab_size):
        at = data.index(b"\0", at) + 1
        put(at, 8, "word frequency")
        put(at + 8, 1, "entry type")
        at += 9
    put(at, 1, "quantized flag")
    if data[at] == 1:
        return fields, at, at
    put(at + 1, 8, "row_count", True)
    put(at + 9, 8, "column_count", True)
    n_rows, n_cols = struct.unpack_from("<QQ", data, at + 1)
    return fields, at + 17, at + 17 + 4 * n_rows * n_cols


# --- The formats mave converts from: word2vec binary and text, GloVe -----------

IMPORT_WORDS = ["</s>", "Haus", "grün", "日本"]
IMPORT_ROWS = [[0.5, -1.25, 3e-7], [0.0, -0.0, 1e30], [2.0, -3.5, 0.1], [7.0, float("nan"), -float("inf")]]


def word2vec_binary(words=IMPORT_WORDS, matrix=IMPORT_ROWS, *, newline=b""):
    out = f"{len(words)} {len(matrix[0])}\n".encode()
    for word, row in zip(words, matrix):
        out += word.encode() + b" " + struct.pack(f"<{len(row)}f", *row) + newline
    return out


def text_lines(words=IMPORT_WORDS, matrix=IMPORT_ROWS, *, header=True, end="\n"):
    lines = [f"{len(words)} {len(matrix[0])}"] if header else []
    lines += [" ".join([word, *(repr(v) for v in row)]) for word, row in zip(words, matrix)]
    return (end.join(lines) + end).encode()


def import_fixtures():
    """Small valid files of each format mave reads beside finalfusion and
    fastText: format -> {name: bytes}."""
    return {
        "word2vec": {"gensim-style": word2vec_binary(), "c-tool-newlines": word2vec_binary(newline=b"\n")},
        "text": {"plain": text_lines(), "crlf-bom": b"\xef\xbb\xbf" + text_lines(end=" \r\n")},
        "glove": {
            "plain": text_lines(header=False),
            "one-column": text_lines(matrix=[[1.0]] * 4, header=False),
        },
    }
