"""mave: word embeddings in the finalfusion format, fast and exact.

Load a file with :func:`load`; the matrix is memory-mapped. Look up one
string with ``e[word]`` or many with :meth:`Embeddings.embed`, and find
the nearest words with :meth:`Embeddings.similar`.

Example:
    >>> import mave
    >>> e = mave.load("cc.en.300.fifu")
    >>> vectors, found = e.embed(["house", "tree"])
"""

from __future__ import annotations

import os as _os

# The search spreads its work over the `threads` it is given; OpenBLAS's own
# pool (a thread per core, started when the library loads) would only
# oversubscribe those cores and hold threads in every worker process. So the
# compiled part loads it single-threaded, and the setting is put back for
# whatever loads after.
_saved = _os.environ.get("OPENBLAS_NUM_THREADS")
_os.environ["OPENBLAS_NUM_THREADS"] = "1"
try:
    from mave import _native  # noqa: F401
finally:
    if _saved is None:
        del _os.environ["OPENBLAS_NUM_THREADS"]
    else:
        _os.environ["OPENBLAS_NUM_THREADS"] = _saved

from mave._errors import FormatError
from mave._version import __version__
from mave._embeddings import Embeddings, SubwordSettings, Words, load
from mave._convert import convert, detect_format, write
from mave._quantize import quantize
from mave._evaluate import AnalogyResult, PairsResult, evaluate_analogies, evaluate_word_pairs

__all__ = ["AnalogyResult", "Embeddings", "FormatError", "PairsResult", "SubwordSettings", "Words",
           "__version__", "convert", "detect_format", "evaluate_analogies", "evaluate_word_pairs",
           "load", "quantize", "write"]
