"""Files whose matrix is product-quantized: dims, load_embedding and eval.

The expected rows are rebuilt here in float32 with numpy, independently of the
module: centroids side by side, the projection's dot products with eight
partial sums, then the row's norm.
"""

import numpy as np
import pytest

import _mave
import fifu
from fifu import quantized_array

QUANTIZED_LEN, SUB_LEN, N_CENTROIDS = 3, 4, 5
DIMS = QUANTIZED_LEN * SUB_LEN  # twelve: a block of eight and a tail of four
WORDS = ["Haus", "Baum", "grün", "Weg"]
CODES = np.array([[0, 4, 2], [3, 1, 1], [4, 0, 3], [2, 2, 0]], dtype=np.uint8)


def mixed(rng, shape):
    """Values of mixed magnitudes, so that the order of a sum shows."""
    scales = rng.choice(np.array([1e-3, 1.0, 1e3, 31.0], dtype=np.float32), size=shape)
    return ((rng.random(shape, dtype=np.float32) - np.float32(0.5)) * scales).astype(np.float32)


class Quantizer:
    def __init__(self, projection, norms, seed=3):
        rng = np.random.default_rng(seed)
        self.subquantizers = mixed(rng, (QUANTIZED_LEN, N_CENTROIDS, SUB_LEN))
        self.projection = mixed(rng, (DIMS, DIMS)) if projection else None
        self.norms = (rng.random(len(CODES), dtype=np.float32) + np.float32(0.5)) if norms else None
        self.codes = CODES.copy()

    def chunk(self):
        return quantized_array(
            QUANTIZED_LEN,
            DIMS,
            N_CENTROIDS,
            len(self.codes),
            self.subquantizers,
            self.codes,
            self.projection,
            self.norms,
        )

    def row(self, i):
        v = np.concatenate([self.subquantizers[q, c] for q, c in enumerate(self.codes[i])])
        if self.projection is not None:
            v = np.array([self.dot(self.projection[k], v) for k in range(DIMS)], dtype=np.float32)
        if self.norms is not None:
            v = (v * self.norms[i]).astype(np.float32)
        return v

    @staticmethod
    def dot(a, b):
        """Products of elements 8j + k go to partial sum k; the partial sums
        are joined pairwise, then the tail is added in order."""
        part = [np.float32(0)] * 8
        blocks = len(a) // 8
        for j in range(blocks):
            for k in range(8):
                part[k] = np.float32(part[k] + np.float32(a[8 * j + k] * b[8 * j + k]))
        s = np.float32(((part[0] + part[4]) + (part[1] + part[5])) + (part[2] + part[6]))
        s = np.float32(s + (part[3] + part[7]))
        for j in range(blocks * 8, len(a)):
            s = np.float32(s + np.float32(a[j] * b[j]))
        return s


def unit_length(v):
    """Division by the L2 norm, its squares summed like Quantizer.dot."""
    norm = np.sqrt(Quantizer.dot(v, v), dtype=np.float32)
    return np.array([np.float32(x) / norm for x in v], dtype=np.float32)


FLAGS = pytest.mark.parametrize(
    "projection,norms", [(False, False), (False, True), (True, False), (True, True)]
)


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32).tolist()


@FLAGS
def test_known_words_get_their_rebuilt_rows(write_file, projection, norms):
    pq = Quantizer(projection, norms)
    m = _mave.FfModel(write_file(fifu.assemble(fifu.simple_vocab(WORDS), pq.chunk())))
    assert m.get_dims() == DIMS
    for i, word in enumerate(WORDS):
        a = np.full(DIMS, -1, dtype=np.float32)
        assert m.load_embedding(word, a) is True
        assert bits(a) == bits(pq.row(i)), word
    a = np.full(DIMS, -1, dtype=np.float32)
    assert m.load_embedding("Hau", a) is False
    assert bits(a) == bits(np.full(DIMS, -1))


def test_eval_prints_the_line_of_the_same_dense_rows(write_file, run_python):
    pq = Quantizer(True, True)
    quantized = write_file(fifu.assemble(fifu.simple_vocab(WORDS), pq.chunk()))
    dense = write_file(fifu.dense_embeddings(WORDS, [pq.row(i).tolist() for i in range(len(WORDS))]))
    outputs = [
        run_python(f"""
        import _mave
        m = _mave.FfModel({path!r})
        for word in {WORDS + ["absent"]!r}:
            m.eval(word)
    """).stdout
        for path in (quantized, dense)
    ]
    assert outputs[0].count(b"\n") == len(WORDS)
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize("projection", [False, True])
def test_composed_words_sum_rebuilt_subword_rows(write_file, projection):
    pq = Quantizer(projection, True)
    # "ab" is row 0; the n-grams <xy and xyx share row 1, xy> is row 2.
    vocab = fifu.explicit_vocab(["ab"], [("<xy", 0), ("xy>", 1), ("xyx", 0)], 3, 3)
    m = _mave.FfModel(write_file(fifu.assemble(vocab, pq.chunk())))
    a = np.zeros(DIMS, dtype=np.float32)
    assert m.load_embedding("xyxy", a) is True
    total = np.zeros(DIMS, dtype=np.float32)
    for r in (1, 1, 2):
        total = (total + pq.row(r)).astype(np.float32)
    assert bits(a) == bits(unit_length(total))
    assert m.load_embedding("ab", a) is True
    assert bits(a) == bits(pq.row(0))


def test_bad_code_fails_only_its_word(write_file):
    pq = Quantizer(False, False)
    pq.codes[1, 2] = N_CENTROIDS
    m = _mave.FfModel(write_file(fifu.assemble(fifu.simple_vocab(WORDS), pq.chunk())))
    a = np.full(DIMS, -1, dtype=np.float32)
    with pytest.raises(BaseException) as info:
        m.load_embedding("Baum", a)
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == ("assertion failed: index < dim",)
    assert bits(a) == bits(np.full(DIMS, -1))
    assert m.load_embedding("grün", a) is True
    assert bits(a) == bits(pq.row(2))


UNWRAP = "called `Result::unwrap()` on an `Err` value: "
SUBQUANTIZERS = np.zeros((QUANTIZED_LEN, N_CENTROIDS, SUB_LEN), dtype=np.float32)


@pytest.mark.parametrize(
    "chunk,cut,message",
    [
        (
            quantized_array(4, 10, 1, 1, np.zeros(10), [0] * 4),
            0,
            UNWRAP + 'Format("Reconstructed embedding length (10) not a multiple of the quantized '
            'embedding length: (4)")',
        ),
        (
            quantized_array(QUANTIZED_LEN, DIMS, N_CENTROIDS, 4, SUBQUANTIZERS, CODES),
            1,
            UNWRAP + 'Read { desc: "Cannot memory map quantized embedding matrix", error: Error { '
            'kind: UnexpectedEof, message: "memory map range reaches past the end of the file" } }',
        ),
        (
            quantized_array(QUANTIZED_LEN, DIMS, N_CENTROIDS, 4, SUBQUANTIZERS, CODES, norms=[1] * 4),
            4 * 4 + CODES.size,
            UNWRAP + 'Read { desc: "Cannot read norms", error: Error { kind: UnexpectedEof, '
            'message: "failed to fill whole buffer" } }',
        ),
        (
            quantized_array(0, DIMS, N_CENTROIDS, 4, SUBQUANTIZERS, CODES),
            0,
            "Quantized embedding length must not be zero",
        ),
    ],
    ids=["not-a-multiple", "codes-cut", "norms-cut", "no-subquantizers"],
)
def test_files_that_fail_to_load(write_file, chunk, cut, message):
    data = fifu.assemble(fifu.simple_vocab(WORDS), chunk)
    with pytest.raises(BaseException) as info:
        _mave.FfModel(write_file(data[: len(data) - cut]))
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (message,)
