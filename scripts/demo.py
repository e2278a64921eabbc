"""Converts the bundled fastText model with mave, loads the result and looks
vectors up.

Shows what the file holds (`mave info`), the printed vector of a word (the
pinned _mave module), a batch of vectors, then the nearest neighbours (cosine
similarity) of a few vocabulary words and of misspellings, which get vectors
composed from their character n-grams.
"""

import pathlib
import subprocess
import sys

import _mave
import mave

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODEL = ROOT / "tests" / "data" / "fasttext" / "demo-skipgram.bin"
OUTPUT = ROOT / "build" / "demo" / "demo-skipgram.fifu"


def main() -> None:
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    print(f"$ mave convert {MODEL.relative_to(ROOT)} {OUTPUT.relative_to(ROOT)}")
    mave.convert(MODEL, OUTPUT)  # the fastText model, as _mave.build_model converts it

    print(f"\n$ mave info {OUTPUT.relative_to(ROOT)}", flush=True)
    subprocess.run([sys.executable, "-m", "mave", "info", str(OUTPUT)], check=True)

    e = mave.load(OUTPUT)
    print(f"\n{e!r}")

    print('\nThe vector of "software", as _mave prints it:', flush=True)  # on fd 1 directly
    _mave.FfModel(str(OUTPUT)).eval("software")

    queries = [
        "software",
        "warranty",
        "distribute",
        "copyright",
        "sofware",
        "warrantie",
        "copyrigth",
        "liabilty",
        "modifcation",
    ]
    vectors, found = e.embed(queries)
    print(
        f"\ne.embed of {len(queries)} strings: an array of shape {vectors.shape}, "
        f"{int(found.sum())} with a vector"
    )

    print("\nNearest neighbours by cosine similarity (e.similar):")
    for query in queries:
        kind = "word" if query in e else "composed from n-grams"
        neighbours = ", ".join(f"{w} ({c:.2f})" for w, c in e.similar(query, k=5))
        print(f"  {query:>15} [{kind}]: {neighbours}")


if __name__ == "__main__":
    main()
