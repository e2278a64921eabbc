"""Builds finalfusion files for tests, piece by piece.

Every function returns bytes. Chunks whose float data is padded to a multiple
of 4 need the absolute file offset at which they start; `assemble` supplies it
to any chunk given as a callable taking that offset, so a file reads as the
list of its chunks:

    assemble(simple_vocab(["a", "b"]), nd_array([[1, 2], [3, 4]]))
"""

import struct

HEADER = 0
SIMPLE_VOCAB = 1
ND_ARRAY = 2
BUCKET_SUBWORD_VOCAB = 3
QUANTIZED_ARRAY = 4
METADATA = 5
ND_NORMS = 6
FASTTEXT_SUBWORD_VOCAB = 7
EXPLICIT_SUBWORD_VOCAB = 8
FLORET_SUBWORD_VOCAB = 9

FLOAT32 = 10
UINT8 = 1


def u32(value):
    return struct.pack("<I", value)


def u64(value):
    return struct.pack("<Q", value)


def f32s(values):
    return struct.pack(f"<{len(values)}f", *values)


def padding_for(position):
    """Zero bytes before 4-byte element data: 1 to 4, never 0."""
    return 4 - position % 4


def string_item(text):
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    return u32(len(data)) + data


def header(identifiers, *, magic=b"FiFu", version=0):
    return magic + u32(version) + u32(len(identifiers)) + b"".join(u32(c) for c in identifiers)


def chunk(identifier, body):
    """Identifier, u64 length of the body, body."""
    return u32(identifier) + u64(len(body)) + body


def simple_vocab(words):
    return chunk(SIMPLE_VOCAB, u64(len(words)) + b"".join(string_item(w) for w in words))


def nd_array_raw(rows, cols, data, *, element_type=FLOAT32):
    """A dense matrix chunk over raw little-endian element bytes (bit patterns
    such as NaN payloads survive)."""

    def at(offset):
        pad = padding_for(offset + 4 + 8 + 8 + 4 + 4)
        body = u64(rows) + u32(cols) + u32(element_type) + bytes(pad) + data
        return chunk(ND_ARRAY, body)

    return at


def nd_array(matrix, *, cols=None):
    """A dense matrix chunk from a list of rows of floats."""
    rows = len(matrix)
    if cols is None:
        cols = len(matrix[0]) if rows else 0
    return nd_array_raw(rows, cols, b"".join(f32s(row) for row in matrix))


def norms(values, *, element_type=FLOAT32):
    def at(offset):
        pad = padding_for(offset + 4 + 8 + 8 + 4)
        body = u64(len(values)) + u32(element_type) + bytes(pad) + f32s(values)
        return chunk(ND_NORMS, body)

    return at


def metadata(text):
    return chunk(METADATA, text.encode("utf-8") if isinstance(text, str) else bytes(text))


def assemble(*chunks, identifiers=None):
    """Header plus chunks. The header lists each chunk's own identifier unless
    `identifiers` is given; a callable chunk receives its start offset."""
    count = len(chunks) if identifiers is None else len(identifiers)
    offset = 12 + 4 * count
    pieces = []
    for part in chunks:
        data = part(offset) if callable(part) else part
        pieces.append(data)
        offset += len(data)
    if identifiers is None:
        identifiers = [struct.unpack_from("<I", data)[0] for data in pieces]
    return header(identifiers) + b"".join(pieces)


def dense_embeddings(words, matrix, *, cols=None, meta=None, word_norms=None):
    """The common file: optional metadata, simple vocabulary, dense matrix,
    optional norms."""
    chunks = []
    if meta is not None:
        chunks.append(metadata(meta))
    chunks += [simple_vocab(words), nd_array(matrix, cols=cols)]
    if word_norms is not None:
        chunks.append(norms(word_norms))
    return assemble(*chunks)


def _words_and_lengths(words, min_n, max_n):
    return u64(len(words)) + u32(min_n) + u32(max_n)


def fasttext_vocab(words, min_n=3, max_n=6, buckets=2_000_000):
    body = _words_and_lengths(words, min_n, max_n) + u32(buckets)
    return chunk(FASTTEXT_SUBWORD_VOCAB, body + b"".join(string_item(w) for w in words))


def bucket_vocab(words, min_n=3, max_n=6, buckets_exponent=21):
    body = _words_and_lengths(words, min_n, max_n) + u32(buckets_exponent)
    return chunk(BUCKET_SUBWORD_VOCAB, body + b"".join(string_item(w) for w in words))


def explicit_vocab(words, ngrams, min_n=3, max_n=6):
    """`ngrams` is a list of (text, stored index) entries in file order."""
    body = u64(len(words)) + u64(len(ngrams)) + u32(min_n) + u32(max_n)
    body += b"".join(string_item(w) for w in words)
    body += b"".join(string_item(text) + u64(index) for text, index in ngrams)
    return chunk(EXPLICIT_SUBWORD_VOCAB, body)


def floret_vocab(min_n=3, max_n=6, buckets=100, hashes=2, seed=0, begin="<", end=">"):
    body = u32(min_n) + u32(max_n) + u64(buckets) + u32(hashes) + u32(seed)
    return chunk(FLORET_SUBWORD_VOCAB, body + string_item(begin) + string_item(end))


def quantized_array(
    quantized_len,
    reconstructed_len,
    n_centroids,
    n_embeddings,
    subquantizers,
    codes,
    projection=None,
    norms=None,
):
    """The QuantizedArray chunk: flags, lengths, the two element types, padding,
    then projection, subquantizers, norms and the u8 codes (any array-likes)."""
    import numpy as np  # only this builder needs it; the fuzz corpus scripts do not

    def at(offset):
        fields = (
            u32(projection is not None)
            + u32(norms is not None)
            + u32(quantized_len)
            + u32(reconstructed_len)
            + u32(n_centroids)
            + u64(n_embeddings)
            + u32(UINT8)
            + u32(FLOAT32)
        )
        body = fields + bytes(padding_for(offset + 4 + 8 + len(fields)))
        for floats in (projection, subquantizers, norms):
            if floats is not None:
                body += np.asarray(floats, dtype="<f4").tobytes()
        return chunk(QUANTIZED_ARRAY, body + np.asarray(codes, dtype=np.uint8).tobytes())

    return at
