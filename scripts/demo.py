"""Converts the bundled fastText model, loads the result and looks vectors up.

Shows the printed vector of a word, then the nearest neighbours (cosine
similarity) of a few vocabulary words and of misspellings, which get vectors
composed from their character n-grams.
"""
import collections
import pathlib
import re
import sys

import numpy as np

import _mave

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODEL = ROOT / "tests" / "data" / "fasttext" / "demo-skipgram.bin"
CORPUS = ROOT / "tests" / "data" / "fasttext" / "english.txt"
OUTPUT = ROOT / "build" / "demo" / "demo-skipgram.fifu"


def main() -> None:
    OUTPUT.parent.mkdir(parents=True, exist_ok=True)
    sys.stdout.flush()  # build_model and eval write to the process's stdout directly
    _mave.build_model(str(MODEL), str(OUTPUT))

    model = _mave.FfModel(str(OUTPUT))
    dims = model.get_dims()
    print(f"\nLoaded {OUTPUT.name}: {dims} dimensions")

    # Candidate neighbours: the words of the training text that the model kept.
    counts = collections.Counter(re.findall(r"[a-z0-9]+", CORPUS.read_text().lower()))
    words = sorted(w for w, n in counts.items() if n >= 3)
    matrix = np.zeros((len(words), dims), dtype=np.float32)
    for i, word in enumerate(words):
        model.load_embedding(word, matrix[i])

    print('\nThe vector of "software", as eval prints it:', flush=True)
    model.eval("software")

    vector = np.zeros(dims, dtype=np.float32)
    print("\nNearest neighbours by cosine similarity:")
    for query in ["software", "warranty", "distribute", "copyright",
                  "sofware", "warrantie", "copyrigth", "liabilty", "modifcation"]:
        known = query in counts and counts[query] >= 3
        if not model.load_embedding(query, vector):
            print(f"  {query:>15}: no vector")
            continue
        similarity = matrix @ vector  # rows and vector are unit length
        best = [j for j in np.argsort(-similarity) if words[j] != query][:5]
        kind = "word" if known else "composed from n-grams"
        neighbours = ", ".join(f"{words[j]} ({similarity[j]:.2f})" for j in best)
        print(f"  {query:>15} [{kind}]: {neighbours}")


if __name__ == "__main__":
    main()
