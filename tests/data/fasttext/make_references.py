#!/usr/bin/env python3
"""Writes gensim's vectors for the trained models, as independent references.

For each model, <model>.gensim.npz holds gensim's word vectors for every
vocabulary word except "</s>" (fastText gives that one no subwords) and its
vectors for out-of-vocabulary strings composed from subwords. gensim is used
only through `load_facebook_vectors`; the vectors are stored as gensim returns
them (not normalised), so the tests derive both the unit vector and the norm.

Usage: make_references.py   (needs gensim, a test dependency)
"""

import os

import numpy as np
from gensim.models.fasttext import load_facebook_vectors

HERE = os.path.dirname(os.path.abspath(__file__))

# Strings outside the vocabularies, each long enough to have n-grams.
OOV = {
    "demo-skipgram": [
        "licnese",
        "sofware",
        "programmmer",
        "copyrightt",
        "redistributable",
        "unlicensed",
        "xyzzy",
        "GPL",
        "naïve",
        "straße",
    ],
    "cbow-en": ["licnese", "sofware", "copyleftist", "distributionally", "qq", "ab", "Ünïcödé"],
    "multilingual-skipgram": [
        "Straßenbahn",
        "Bäckerei",
        "grüßte",
        "élèves!",
        "ñandú",
        "東京都",
        "北京市",
        "서울시",
        "Москвы",
        "γαλάζιο",
        "łódka",
        "žluťoučká",
        "😀smile",
        "ab",
    ],
    # Lengths from 1: even one-character strings have n-grams.
    "skipgram-minn1": ["x", "ü", "東", "Straßenbahn", "Москвы", "ab", "😀"],
}


def main():
    for name, oov in OOV.items():
        wv = load_facebook_vectors(os.path.join(HERE, name + ".bin"))
        words = [w for w in wv.index_to_key if w != "</s>"]
        for s in oov:
            assert s not in wv.key_to_index, f"{s!r} is in the vocabulary of {name}"
        np.savez_compressed(
            os.path.join(HERE, name + ".gensim.npz"),
            words=np.array(words),
            vectors=np.stack([wv[w] for w in words]).astype(np.float32),
            oov_words=np.array(oov),
            oov_vectors=np.stack([wv[s] for s in oov]).astype(np.float32),
        )
        print(f"{name}: {len(words)} words, {len(oov)} out-of-vocabulary strings")


if __name__ == "__main__":
    main()
