#!/usr/bin/env python3
"""Trains the small fastText models that the tests convert.

Needs the `fasttext` command-line tool (Debian package `fasttext`). Training
runs on one thread with a fixed seed, so running this again gives the same
files. The corpora are committed next to this script:

- english.txt: verbatim copies of the licence texts in /usr/share/common-licenses
  (all but the two GNU Free Documentation Licenses),
  lower-cased and cut into words before training;
- multilingual.txt: sentences in German, French, Spanish, Portuguese, Czech,
  Polish, Swedish, Greek, Russian, Japanese, Chinese and Korean, with CJK words
  separated by spaces (fastText splits on white space only);
- labelled.txt: labelled sentences for the supervised and quantized models.

Usage: make_models.py [--fasttext PATH]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

COMMON = ["-thread", "1", "-seed", "42", "-verbose", "0"]

# name -> (command, corpus, options). Each .bin stays well under 2 MB:
# (words + buckets) x dim x 4 bytes for the input matrix plus words x dim x 4
# for the output matrix.
MODELS = {
    # The README demo: sensible English neighbours, lengths 3..6.
    "demo-skipgram": (
        "skipgram",
        "english",
        [
            "-dim",
            "24",
            "-bucket",
            "8000",
            "-minn",
            "3",
            "-maxn",
            "6",
            "-minCount",
            "3",
            "-epoch",
            "25",
            "-ws",
            "5",
            "-neg",
            "5",
            "-loss",
            "ns",
        ],
    ),
    # Other lengths and loss: 2..4, hierarchical softmax.
    "cbow-en": (
        "cbow",
        "english",
        [
            "-dim",
            "16",
            "-bucket",
            "4000",
            "-minn",
            "2",
            "-maxn",
            "4",
            "-minCount",
            "2",
            "-epoch",
            "10",
            "-loss",
            "hs",
        ],
    ),
    # Accents, ß, Greek, Cyrillic and CJK words.
    "multilingual-skipgram": (
        "skipgram",
        "multilingual",
        [
            "-dim",
            "16",
            "-bucket",
            "6000",
            "-minn",
            "2",
            "-maxn",
            "5",
            "-minCount",
            "1",
            "-epoch",
            "20",
            "-t",
            "0.001",
        ],
    ),
    # Lengths from 1: fastText leaves out the n-grams "<" and ">", we keep them.
    "skipgram-minn1": (
        "skipgram",
        "multilingual",
        ["-dim", "12", "-bucket", "3000", "-minn", "1", "-maxn", "3", "-minCount", "1", "-epoch", "10"],
    ),
    # Subwords switched off: the conversion refuses max_n below min_n.
    "skipgram-maxn0": (
        "skipgram",
        "multilingual",
        ["-dim", "8", "-maxn", "0", "-minCount", "1", "-epoch", "5"],
    ),
    # Labels: a prediction model.
    "supervised": (
        "supervised",
        "labelled",
        ["-dim", "16", "-bucket", "2000", "-minn", "2", "-maxn", "4", "-epoch", "25", "-loss", "softmax"],
    ),
}


def english_words(text):
    """Lower-case, and keep letters and digits only, one line per input line."""
    return "\n".join(" ".join(re.findall(r"[a-z0-9]+", line.lower())) for line in text.splitlines()) + "\n"


def corpus_file(name, tmp):
    with open(os.path.join(HERE, name + ".txt"), encoding="utf-8") as f:
        text = f.read()
    if name == "english":
        text = english_words(text)
    path = os.path.join(tmp, name + ".train")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def run(cmd):
    print("+", " ".join(cmd), file=sys.stderr)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fasttext", default="fasttext")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        corpora = {}
        for name, (command, corpus, options) in MODELS.items():
            if corpus not in corpora:
                corpora[corpus] = corpus_file(corpus, tmp)
            prefix = os.path.join(tmp, name)
            run([args.fasttext, command, "-input", corpora[corpus], "-output", prefix, *COMMON, *options])
            shutil.copyfile(prefix + ".bin", os.path.join(HERE, name + ".bin"))
        # Quantizing compresses the supervised model trained above.
        prefix = os.path.join(tmp, "supervised")
        run(
            [
                args.fasttext,
                "quantize",
                "-input",
                corpora["labelled"],
                "-output",
                prefix,
                "-dsub",
                "2",
                "-thread",
                "1",
                "-verbose",
                "0",
            ]
        )
        os.replace(prefix + ".ftz", os.path.join(HERE, "supervised-quantized.ftz"))

    for name in sorted(os.listdir(HERE)):
        if name.endswith((".bin", ".ftz")):
            print(f"{name}: {os.path.getsize(os.path.join(HERE, name))} bytes")


if __name__ == "__main__":
    main()
