"""Calls one operation of mave many times, on success or on one error path,
and reports what that did to the process and to the objects passed in.

    python mave_leak_runner.py SCENARIO CALLS DENSE_FILE SUBWORD_FILE QUANTIZED_FILE RESULTS

After a warm-up of a tenth of the calls the loop runs CALLS times; the
results file holds the resident size, open descriptors and mappings before
and after the loop, and the reference counts of every object passed in
before the warm-up and after the loop.
"""

import os
import pickle
import sys
import tempfile

import numpy as np

import mave
from mave import _native
from leak_runner import fresh, measure


def scenarios(dense_file, subword_file, quantized_file):
    """name -> (call, objects passed in, exception expected or None, weight).
    The weight divides the number of calls for the heavier operations."""
    e, sub, q = mave.load(dense_file), mave.load(subword_file), mave.load(quantized_file)
    dims = e.dims
    out = np.zeros(dims, np.float32)
    known, composed, unknown = fresh("Haus"), fresh("Hausboot"), fresh("Zebra")
    batch = [fresh(w) for w in ["Haus", "Baum", "grün", "Hausboot", "Zebra"] * 20]
    batch_out = np.zeros((len(batch), dims), np.float32)
    bad_batch = [fresh("Haus"), 42]
    wrong_out = np.zeros((3, dims), np.float32)
    path, missing = fresh(dense_file), fresh(dense_file + ".missing")
    pickled = pickle.dumps(e)
    query = np.ones(dims, np.float32)
    # A finalfusion file written from an Arrow string column's buffers and
    # rows handed out in blocks (Parquet input), and one whose blocks fail.
    rows_path = os.path.join(tempfile.mkdtemp(), "rows.fifu")
    offsets = np.array([0, 4, 8, 13], np.uint64)
    data = np.frombuffer("HausBaumgrün".encode(), np.uint8)
    block = np.ones((3, dims), np.float32)

    def failing():
        raise OSError("the block could not be read")

    return {
        "getitem known": (lambda: e[known], [e, known], None, 1),
        "getitem composed": (lambda: sub[composed], [sub, composed], None, 1),
        "getitem unknown": (lambda: e[unknown], [e, unknown], KeyError, 1),
        "get default": (lambda: e.get(unknown, out), [e, unknown, out], None, 1),
        "embedding out": (lambda: e.embedding(known, out), [e, known, out], None, 1),
        "embedding wrong out": (lambda: e.embedding(known, wrong_out), [e, known, wrong_out], ValueError, 1),
        "contains": (lambda: known in e, [e, known], None, 1),
        "index": (lambda: e.index(known), [e, known], None, 1),
        "index unknown": (lambda: e.index(unknown), [e, unknown], KeyError, 1),
        "words": (lambda: e.words[0], [e], None, 1),
        "norms and matrix": (lambda: (e.norms, e.matrix), [e], None, 1),
        "quantized matrix": (lambda: q.matrix, [q], ValueError, 1),
        "embed": (lambda: e.embed(batch), [e, batch], None, 10),
        "embed out threads": (
            lambda: sub.embed(batch, out=batch_out, threads=2),
            [sub, batch, batch_out],
            None,
            50,
        ),
        "embed bad word": (lambda: e.embed(bad_batch), [e, bad_batch], TypeError, 10),
        "similar": (lambda: e.similar(known, 2), [e, known], None, 10),
        "similar vector": (lambda: q.similar(query, 2, threads=2), [q, query], None, 50),
        "similar unknown": (lambda: e.similar(unknown), [e, unknown], KeyError, 10),
        "analogy": (lambda: sub.analogy(known, composed, known), [sub, known, composed], None, 10),
        "reconstruct": (lambda: q.reconstruct([0, 1]), [q], None, 10),
        "load": (lambda: mave.load(path), [path], None, 50),
        "load missing": (lambda: mave.load(missing), [missing], FileNotFoundError, 50),
        "pickle": (lambda: pickle.loads(pickled), [pickled], None, 50),
        "word buffers": (lambda: e.words._buffers(), [e], None, 1),
        "write rows": (
            lambda: _native._write_rows(
                rows_path, offsets, data, dims, lambda: block, None, None, True, None
            ),
            [offsets, data, block],
            None,
            50,
        ),
        "write rows failing": (
            lambda: _native._write_rows(rows_path, offsets, data, dims, failing, None, None, True, None),
            [offsets, data],
            OSError,
            50,
        ),
    }


def main():
    name, calls, dense_file, subword_file, quantized_file, results = sys.argv[1:]
    call, objects, expected, weight = scenarios(dense_file, subword_file, quantized_file)[name]
    measure(call, objects, expected, max(int(calls) // weight, 100), results)


if __name__ == "__main__":
    main()
