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

from mave import _openblas

# The search's OpenBLAS, from the scipy-openblas32 package: loaded here, by
# path, rather than linked into the compiled part.
_openblas.load()

from mave._errors import FormatError
from mave._version import __version__
from mave._embeddings import Embeddings, SubwordSettings, Words, load
from mave._convert import convert, detect_format, write
from mave._quantize import quantize
from mave._evaluate import AnalogyResult, PairsResult, evaluate_analogies, evaluate_word_pairs

__all__ = [
    "AnalogyResult",
    "Embeddings",
    "FormatError",
    "PairsResult",
    "SubwordSettings",
    "Words",
    "__version__",
    "convert",
    "detect_format",
    "evaluate_analogies",
    "evaluate_word_pairs",
    "load",
    "quantize",
    "write",
]
