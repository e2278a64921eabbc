"""eval: the vector line on fd 1, checked byte for byte in child processes."""

import os
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import _mave
import fifu

TAIL = "], shape=[{n}], strides=[{s}], layout=CFcf (0xf), const ndim=1\n"


def f32bits(value):
    return int(np.float32(value).view(np.uint32))


# Bit pattern -> text, for every example of the element rules.
EXAMPLES = [
    (f32bits(0.1), "0.1"),  # float32 0.1, not its double widening
    (f32bits(-0.25), "-0.25"),
    (f32bits(1.0), "1.0"),
    (0x00000000, "0.0"),
    (0x80000000, "-0.0"),
    (0x38D1B717, "0.0001"),  # exactly float32 1e-4: positional
    (f32bits(9.9999e-5), "9.9999e-5"),  # below it: scientific
    (0x5A0E1BCA, "1e16"),  # float32 1e16: scientific
    (0x5A0E1BC9, "9999999000000000.0"),  # the largest float32 below it
    (f32bits(123456789012345), "123456790000000.0"),
    (0x7FC00000, "NaN"),
    (0xFFC00000, "NaN"),  # sign bit set: still no sign
    (0x7F800001, "NaN"),  # signalling payload
    (0xFF800000, "-inf"),
    (0x7F800000, "inf"),
    (f32bits(0.00012), "0.00012"),
    (f32bits(123.5), "123.5"),
    (f32bits(100), "100.0"),
    (f32bits(0.000015), "1.5e-5"),
    (0x7F7FFFFF, "3.4028235e38"),  # largest finite
    (0x00000001, "1e-45"),  # smallest subnormal
    (0x80000001, "-1e-45"),
    (f32bits(2.5), "2.5"),
    (f32bits(1 / 3), "0.33333334"),
    (f32bits(16777215), "16777215.0"),
]


def pack_bits(bits):
    return b"".join(struct.pack("<I", b) for b in bits)


def reference_text(bits):
    """Element text built on NumPy's own shortest float32 digits."""
    x = np.array([bits], np.uint32).view(np.float32)[0]
    if np.isnan(x):
        return "NaN"
    sign = "-" if bits >> 31 else ""
    a = abs(x)
    if np.isinf(a):
        return sign + "inf"
    if a == 0:
        return sign + "0.0"
    mantissa, exponent = np.format_float_scientific(a, unique=True, trim="-").split("e")
    digits = mantissa.replace(".", "").rstrip("0")
    k, n = int(exponent) + 1, len(digits)
    if a >= np.float32(1e16) or a < np.float32(1e-4):
        return f"{sign}{digits[0]}{'.' + digits[1:] if n > 1 else ''}e{k - 1}"
    if k <= 0:
        return f"{sign}0.{'0' * -k}{digits}"
    if k < n:
        return f"{sign}{digits[:k]}.{digits[k:]}"
    return f"{sign}{digits}{'0' * (k - n)}.0"


def line(texts):
    n = len(texts)
    return "[" + ", ".join(texts) + TAIL.format(n=n, s=1 if n else 0)


@pytest.fixture
def eval_lines(write_file, run_python):
    """Writes a model of rows given as bit patterns, evals the words in a
    child process and returns what reached fd 1."""

    def run(rows, words, cols=None):
        vocab = [f"w{i}" for i in range(len(rows))]
        cols = len(rows[0]) if cols is None else cols
        data = fifu.assemble(
            fifu.simple_vocab(vocab), fifu.nd_array_raw(len(rows), cols, b"".join(map(pack_bits, rows)))
        )
        path = write_file(data)
        result = run_python(f"""
            import _mave
            m = _mave.FfModel({path!r})
            for word in {words!r}:
                m.eval(word)
        """)
        return result.stdout.decode()

    return run


def test_element_examples(eval_lines):
    bits = [b for b, _ in EXAMPLES]
    assert eval_lines([bits], ["w0"]) == line([t for _, t in EXAMPLES])


def test_reference_agrees_with_examples():
    assert [reference_text(b) for b, _ in EXAMPLES] == [t for _, t in EXAMPLES]


def test_many_values_and_long_lines(eval_lines):
    rng = np.random.default_rng(20240607)
    rows = [
        rng.integers(0, 2**32, 1000, dtype=np.uint64).tolist(),  # every kind of pattern
        rng.standard_normal(1000).astype(np.float32).view(np.uint32).tolist(),
        (rng.standard_normal(1000) * 10.0 ** rng.integers(-8, 20, 1000))
        .astype(np.float32)
        .view(np.uint32)
        .tolist(),
    ]
    out = eval_lines(rows, ["w0", "w1", "w2"])
    assert out == "".join(line([reference_text(b) for b in row]) for row in rows)
    assert "..." not in out and out.count("\n") == 3


@pytest.mark.parametrize(
    "rows, cols, expected",
    [
        ([[0x40200000]], None, "[2.5], shape=[1], strides=[1], layout=CFcf (0xf), const ndim=1\n"),
        ([[]], 0, "[], shape=[0], strides=[0], layout=CFcf (0xf), const ndim=1\n"),
        (
            [[0x3DCCCCCD, 0xBE800000, 0x3F800000]],
            None,
            "[0.1, -0.25, 1.0], shape=[3], strides=[1], layout=CFcf (0xf), const ndim=1\n",
        ),
    ],
)
def test_whole_lines(eval_lines, rows, cols, expected):
    assert eval_lines(rows, ["w0"], cols) == expected


def test_unknown_word_prints_nothing(eval_lines):
    assert eval_lines([[0x3F800000]], ["", "w1", "W0", "w0 "]) == ""


class TestStandardOutput:
    def test_bypasses_sys_stdout(self, model_path, run_python):
        result = run_python(f"""
            import io, sys, _mave
            m = _mave.FfModel({model_path!r})
            print("before", flush=True)
            sys.stdout = io.StringIO()
            assert m.eval("Baum") is None
            captured = sys.stdout.getvalue()
            sys.stdout = sys.__stdout__
            print("after", repr(captured))
        """)
        assert result.stdout == (
            b"before\n[1.0, 2.0, -3.0, 4.0], shape=[4], strides=[1], layout=CFcf (0xf), "
            b"const ndim=1\nafter ''\n"
        )

    @pytest.mark.parametrize(
        "setup, message",
        [
            ("os.close(1)", "failed printing to stdout: Bad file descriptor (os error 9)"),
            (
                "os.dup2(os.open('/dev/full', os.O_WRONLY), 1)",
                "failed printing to stdout: No space left on device (os error 28)",
            ),
            (
                "r, w = os.pipe(); os.dup2(w, 1); os.close(r)",
                "failed printing to stdout: Broken pipe (os error 32)",
            ),
        ],
    )
    def test_failed_write(self, model_path, run_python, setup, message):
        result = run_python(f"""
            import os, sys, _mave
            m = _mave.FfModel({model_path!r})
            {setup}
            m.eval("absent")  # nothing to print, nothing to fail
            try:
                m.eval("Haus")
            except BaseException as e:
                sys.stderr.write(f"CAUGHT {{type(e).__name__}} {{e.args!r}}\\n")
            print(m.get_dims(), file=sys.stderr)
        """)
        err = result.stderr.decode()
        assert f"CAUGHT PanicException ({message!r},)\n4\n" in err
        assert err.index(message) < err.index("CAUGHT")  # the report came first


def test_interrupted_and_partial_writes(write_file, run_python):
    # A line far larger than a pipe's buffer, a reader that starts late and a
    # timer signal every few milliseconds: the write blocks, is interrupted
    # and resumes until the whole line is out.
    rng = np.random.default_rng(7)
    bits = rng.standard_normal(20_000).astype(np.float32).view(np.uint32).tolist()
    path = write_file(
        fifu.assemble(fifu.simple_vocab(["big"]), fifu.nd_array_raw(1, len(bits), pack_bits(bits)))
    )
    code = f"""
import signal, sys, _mave
ticks = []
signal.signal(signal.SIGALRM, lambda *_: ticks.append(1))
signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
_mave.FfModel({path!r}).eval("big")
signal.setitimer(signal.ITIMER_REAL, 0)
print(len(ticks) > 0, file=sys.stderr)
"""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(_mave.__file__)))
    child = subprocess.Popen(
        [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env
    )
    time.sleep(0.5)
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert err == b"True\n"
    assert out.decode() == line([reference_text(b) for b in bits])
