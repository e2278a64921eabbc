"""Writes large finalfusion files for the benchmarks, fast enough for a million
words: string items are joined once, float data goes out as NumPy buffers.

The layout is the chunk framing the module reads: the header ("FiFu", version
0, the chunk codes), then each chunk as u32 code, u64 length of what follows,
body. Float data starts at a file offset that is a multiple of 4, after 1 to 4
zero bytes of padding.
"""

import struct

import numpy as np

SIMPLE_VOCAB = 1
ND_ARRAY = 2
QUANTIZED_ARRAY = 4
ND_NORMS = 6
FLOAT32 = 10
UINT8 = 1


def padding_for(position):
    return 4 - position % 4


def _header(codes):
    return b"FiFu" + struct.pack("<II", 0, len(codes)) + struct.pack(f"<{len(codes)}I", *codes)


def _simple_vocab(words):
    """`words` are UTF-8 byte strings."""
    items = b"".join(struct.pack("<I", len(w)) + w for w in words)
    body = struct.pack("<Q", len(words)) + items
    return struct.pack("<IQ", SIMPLE_VOCAB, len(body)) + body


def _write_f32(f, array):
    f.write(np.ascontiguousarray(array, dtype="<f4").data)


def _write_norms(f, norms):
    # code, length, count, type, padding, values
    pad = padding_for(f.tell() + 4 + 8 + 8 + 4)
    f.write(struct.pack("<IQQI", ND_NORMS, 8 + 4 + pad + 4 * len(norms), len(norms), FLOAT32))
    f.write(bytes(pad))
    _write_f32(f, norms)


def write_dense(path, words, matrix, norms=None):
    """Simple vocabulary, dense matrix (rows x cols float32), optional norms."""
    rows, cols = matrix.shape
    codes = [SIMPLE_VOCAB, ND_ARRAY] + ([ND_NORMS] if norms is not None else [])
    with open(path, "wb") as f:
        f.write(_header(codes))
        f.write(_simple_vocab(words))
        pad = padding_for(f.tell() + 4 + 8 + 8 + 4 + 4)
        f.write(struct.pack("<IQQII", ND_ARRAY, 8 + 4 + 4 + pad + 4 * rows * cols, rows, cols, FLOAT32))
        f.write(bytes(pad))
        for start in range(0, rows, 65536):
            _write_f32(f, matrix[start : start + 65536])
        if norms is not None:
            _write_norms(f, norms)


def write_quantized(path, words, dims, quantized_len, n_centroids, rng, *, projection=True, with_norms=True):
    """Simple vocabulary and a product-quantized matrix with one row per word:
    random centroids and codes, a random square projection and positive norms.
    Returns the arrays written, so that rows can be rebuilt independently."""
    n = len(words)
    sub_len = dims // quantized_len
    assert sub_len * quantized_len == dims
    proj = rng.standard_normal((dims, dims)).astype("<f4") / np.float32(np.sqrt(dims))
    centroids = rng.standard_normal((quantized_len, n_centroids, sub_len)).astype("<f4")
    norms = rng.uniform(0.5, 2.0, size=n).astype("<f4")
    codes = rng.integers(0, n_centroids, size=(n, quantized_len), dtype=np.uint8)
    with open(path, "wb") as f:
        f.write(_header([SIMPLE_VOCAB, QUANTIZED_ARRAY]))
        f.write(_simple_vocab(words))
        fixed = 4 + 4 + 4 + 4 + 4 + 8 + 4 + 4
        pad = padding_for(f.tell() + 4 + 8 + fixed)
        length = (
            fixed
            + pad
            + (proj.nbytes if projection else 0)
            + centroids.nbytes
            + (norms.nbytes if with_norms else 0)
            + codes.nbytes
        )
        f.write(
            struct.pack(
                "<IQIIIIIQII",
                QUANTIZED_ARRAY,
                length,
                int(projection),
                int(with_norms),
                quantized_len,
                dims,
                n_centroids,
                n,
                UINT8,
                FLOAT32,
            )
        )
        f.write(bytes(pad))
        if projection:
            _write_f32(f, proj)
        _write_f32(f, centroids)
        if with_norms:
            _write_f32(f, norms)
        f.write(codes.data)
    return {
        "projection": proj if projection else None,
        "centroids": centroids,
        "norms": norms if with_norms else None,
        "codes": codes,
    }
