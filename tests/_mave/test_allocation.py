"""A known-word load_embedding copies the row straight into the target: no
heap allocation per call, counted by a malloc shim in a child process."""

import os
import shutil
import subprocess

import pytest

import fifu
import fixture_files
from suite import MATRIX, WORDS

SHIM = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stddef.h>
static void* (*real_malloc)(size_t);
unsigned long malloc_calls = 0;
void* malloc(size_t n) {
  if (!real_malloc) real_malloc = (void* (*)(size_t))dlsym(RTLD_NEXT, "malloc");
  __atomic_add_fetch(&malloc_calls, 1, __ATOMIC_RELAXED);
  return real_malloc(n);
}
"""


@pytest.fixture
def malloc_counter(tmp_path):
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        # The shim would have to come before AddressSanitizer's runtime, which
        # must be first, and ASan's allocator does not go through malloc.
        pytest.skip("malloc cannot be counted under AddressSanitizer")
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the malloc shim")
    source = tmp_path / "count.c"
    source.write_text(SHIM)
    library = tmp_path / "libcount.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", str(library), str(source), "-ldl"], check=True)
    return str(library)


def test_known_word_lookup_does_not_allocate(write_file, run_python, malloc_counter):
    path = write_file(fifu.dense_embeddings(WORDS, MATRIX))
    code = f"""
        import ctypes, _mave, numpy as np
        calls = ctypes.c_ulong.in_dll(ctypes.CDLL({malloc_counter!r}), "malloc_calls")
        m = _mave.FfModel({path!r})
        a = np.zeros(4, np.float32)
        strided = np.zeros(8, np.float32)[::2]
        lookup = m.load_embedding
        for word in ("Haus", "grün"):
            lookup(word, a), lookup(word, strided)  # first use: scratch and UTF-8 caches
            before = calls.value
            for _ in range(2000):
                lookup(word, a)
                lookup(word, strided)
                lookup(sentence=word, a=a)
            print(word, calls.value - before)
    """
    result = run_python(code, preload=malloc_counter)
    assert result.stdout.decode() == "Haus 0\ngrün 0\n"


@pytest.mark.parametrize(
    "name", ["fasttext-quantized-projection-norms", "floret-quantized-projection", "simple-quantized"]
)
def test_quantized_lookup_does_not_allocate(write_file, run_python, malloc_counter, name):
    # Known words rebuild their row, composed strings add rebuilt n-gram rows:
    # both reuse per-thread buffers after the first call.
    path = write_file(fixture_files.finalfusion_fixtures()[name].data)
    code = f"""
        import ctypes, _mave, numpy as np
        calls = ctypes.c_ulong.in_dll(ctypes.CDLL({malloc_counter!r}), "malloc_calls")
        m = _mave.FfModel({path!r})
        a = np.zeros(m.get_dims(), np.float32)
        strided = np.zeros(2 * m.get_dims(), np.float32)[::2]
        for word in ("Haus", "Hausbaum"):
            if not m.load_embedding(word, a):
                continue
            m.load_embedding(word, strided)  # first use: scratch and UTF-8 caches
            before = calls.value
            for _ in range(2000):
                m.load_embedding(word, a)
                m.load_embedding(word, strided)
            print(word, calls.value - before)
    """
    result = run_python(code, preload=malloc_counter)
    lines = result.stdout.decode().splitlines()
    assert lines and all(line.endswith(" 0") for line in lines), lines
