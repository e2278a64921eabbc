"""Converts the bundled fastText model, loads the result with mave and looks
vectors up.

Shows the printed vector of a word (the pinned _mave module), a batch of
vectors, then the nearest neighbours (cosine similarity) of a few
vocabulary words and of misspellings, which get vectors composed from their
character n-grams.
"""
import pathlib
import sys

import _mave
import mave

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODEL = ROOT / "tests" / "data" / "fasttext" / "demo-skipgram.bin"
OUTPUT = ROOT / "build" / "demo" / "demo-skipgram.fifu"


def main() -> None:
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    sys.stdout.flush()  # build_model and eval write to the process's stdout directly
    _mave.build_model(str(MODEL), str(OUTPUT))

    e = mave.load(OUTPUT)
    print(f"\n{e!r}")

    print('\nThe vector of "software", as _mave prints it:', flush=True)
    _mave.FfModel(str(OUTPUT)).eval("software")

    queries = ["software", "warranty", "distribute", "copyright",
               "sofware", "warrantie", "copyrigth", "liabilty", "modifcation"]
    vectors, found = e.embed(queries)
    print(f"\ne.embed of {len(queries)} strings: an array of shape {vectors.shape}, "
          f"{int(found.sum())} with a vector")

    print("\nNearest neighbours by cosine similarity (e.similar):")
    for query in queries:
        kind = "word" if query in e else "composed from n-grams"
        neighbours = ", ".join(f"{w} ({c:.2f})" for w, c in e.similar(query, k=5))
        print(f"  {query:>15} [{kind}]: {neighbours}")


if __name__ == "__main__":
    main()
