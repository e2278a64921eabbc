#!/usr/bin/env python3
"""Makes the files as users download them, with their references.

- floret/: models trained with floret (the `floret` package) in its floret
  mode, the `.floret` tables floret writes for spaCy, and floret's own
  get_word_vector for vocabulary words and for strings outside the
  vocabulary (<model>.floret.npz).
- fasttext/cbow-en-old.bin: cbow-en.bin in the layout fastText wrote before
  its header had a magic number and a version. Found by experiment with
  gensim's load_facebook_vectors: it reads a file without the magic and
  version only when the dictionary also lacks the pruned-vocabulary size and
  neither matrix has the quantization flag in front of it (the file starts
  with the settings block). cbow-en-old.gensim.npz holds gensim's vectors.
- utf8/: word2vec text and binary files whose words were cut at a byte
  limit, in the middle of multibyte characters, and gensim's words and
  vectors for each `unicode_errors` setting (cut-words.gensim.npz). The cut
  words are kept distinct under every setting and none becomes empty, since
  gensim cannot load a file where they are not. cut-collide.vec has words
  that become equal or empty; its expected rows come from Python's decoder.
  cut-words-fasttext.bin is a fastText model trained on text whose longer
  words were cut at 5 bytes; cut-words-fasttext.npz holds its dictionary's
  raw words and fastText's own vectors of them (print-word-vectors).
- compressed/: gzip, bzip2, xz and zip copies of a `.vec` and a word2vec
  binary that gensim wrote, of a fastText model, and a zip of GloVe text with
  two members.

  It also holds small bzip2 files that expand to gigabytes (bomb-*).

Usage: make_user_files.py [floret|old|utf8|compressed]...
       (needs floret, gensim and the fasttext tool)
"""

import bz2
import gzip
import lzma
import os
import re
import shutil
import struct
import subprocess
import tempfile
import zipfile

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
FASTTEXT = os.path.join(HERE, "fasttext")
FLORET = os.path.join(HERE, "floret")
UTF8 = os.path.join(HERE, "utf8")
COMPRESSED = os.path.join(HERE, "compressed")

# name -> floret training options; both in floret mode.
FLORET_MODELS = {
    "floret-cbow": dict(model="cbow", hashCount=2, bucket=1000, minn=3, maxn=5, dim=16, minCount=3, epoch=8),
    "floret-skipgram": dict(
        model="skipgram", hashCount=4, bucket=700, minn=2, maxn=4, dim=20, minCount=3, epoch=4
    ),
}
FLORET_OOV = ["licnese", "sofware", "xyzzy", "ü", "q", "naïve", "straße", "東京", "😀", "redistributable", ""]


def english_corpus(path, lines):
    with open(os.path.join(FASTTEXT, "english.txt"), encoding="utf-8") as f:
        text = f.read()
    out = [" ".join(re.findall(r"[a-z0-9]+", line.lower())) for line in text.splitlines()]
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out[:lines]) + "\n")


def make_floret(tmp):
    import floret

    os.makedirs(FLORET, exist_ok=True)
    corpus = os.path.join(tmp, "english.train")
    # About 12 000 words of the English corpus.
    english_corpus(corpus, 1200)
    for name, options in FLORET_MODELS.items():
        model = floret.train_unsupervised(corpus, mode="floret", thread=1, verbose=0, **options)
        bin_path = os.path.join(FLORET, name + ".bin")
        model.save_model(bin_path)
        model.save_floret_vectors(os.path.join(FLORET, name + ".floret"))
        model = floret.load_model(bin_path)
        words = [w for w in model.words if w != "</s>"]
        for s in FLORET_OOV:
            assert s not in model.words, s
        oov = [w for w in FLORET_OOV if w]
        write_reference_text(
            os.path.join(FLORET, name + ".floret-vectors.txt"),
            words + oov,
            [model.get_word_vector(w) for w in words + oov],
        )
        np.savez_compressed(
            os.path.join(FLORET, name + ".floret.npz"),
            words=np.array(words),
            vectors=np.stack([model.get_word_vector(w) for w in words]).astype(np.float32),
            oov_words=np.array(FLORET_OOV),
            oov_vectors=np.stack([model.get_word_vector(s) for s in FLORET_OOV]).astype(np.float32),
        )
        print(f"{name}: {len(words)} words, {os.path.getsize(bin_path)} bytes")


def fasttext_sections(data):
    """Offsets of the dictionary and of the input matrix's quantization flag."""
    vocab = 8 + 56
    (size,) = struct.unpack_from("<I", data, vocab)
    p = vocab + 12 + 8 + 8
    for _ in range(size):
        p = data.index(b"\0", p) + 1 + 8 + 1
    return vocab, p


def make_old_fasttext():
    from gensim.models.fasttext import load_facebook_vectors

    with open(os.path.join(FASTTEXT, "cbow-en.bin"), "rb") as f:
        data = f.read()
    vocab, quant = fasttext_sections(data)
    (rows, cols) = struct.unpack_from("<qq", data, quant + 1)
    qout = quant + 1 + 16 + rows * cols * 4
    assert data[quant] == 0 and data[qout] == 0
    old = (
        data[8 : vocab + 20]  # settings, then the dictionary's counts
        + data[vocab + 28 : quant]  # the entries, without the pruned size
        + data[quant + 1 : qout]  # the input matrix without its flag
        + data[qout + 1 :]
    )  # the output matrix without its flag
    path = os.path.join(FASTTEXT, "cbow-en-old.bin")
    with open(path, "wb") as f:
        f.write(old)
    wv = load_facebook_vectors(path)
    words = [w for w in wv.index_to_key if w != "</s>"]
    oov = ["licnese", "sofware", "copyleftist", "qq"]
    np.savez_compressed(
        os.path.join(FASTTEXT, "cbow-en-old.gensim.npz"),
        words=np.array(words),
        vectors=np.stack([wv[w] for w in words]).astype(np.float32),
        oov_words=np.array(oov),
        oov_vectors=np.stack([wv[s] for s in oov]).astype(np.float32),
    )
    write_reference_text(
        os.path.join(FASTTEXT, "cbow-en-old.gensim.txt"), words + oov, [wv[w] for w in words + oov]
    )
    print(f"cbow-en-old.bin: {len(old)} bytes, {len(words)} words")


def write_reference_text(path, words, vectors):
    """The same references as text, for the C++ tests: a word and its
    values (shortest round-trip decimals) per line; no word holds a blank."""
    with open(path, "w", encoding="utf-8") as f:
        for w, v in zip(words, vectors):
            assert w and not any(c.isspace() for c in w), w
            f.write(w + " " + " ".join(repr(float(x)) for x in np.float32(v)) + "\n")


def write_word2vec(path, words, rows, binary):
    with open(path, "wb") as f:
        f.write(b"%d %d\n" % (len(words), rows.shape[1]))
        for w, r in zip(words, rows):
            if binary:
                f.write(w + b" " + r.astype("<f4").tobytes())
            else:
                f.write(w + b" " + " ".join(repr(float(x)) for x in r).encode() + b"\n")


def cut(word, limit):
    return word.encode("utf-8")[:limit]


def make_utf8():
    from gensim.models import KeyedVectors
    from gensim.models.fasttext import load_facebook_vectors

    os.makedirs(UTF8, exist_ok=True)
    wv = load_facebook_vectors(os.path.join(FASTTEXT, "multilingual-skipgram.bin"))
    # Words cut at 5 bytes, as a writer with a byte limit leaves them.
    seen = {e: set() for e in ("strict", "replace", "ignore")}
    words, rows = [], []
    for w in wv.index_to_key:
        raw = cut(w, 5)
        keys = {e: raw.decode("utf-8", errors="replace" if e == "strict" else e) for e in seen}
        if raw in seen["strict"] or any(keys[e] in seen[e] or not keys[e] for e in seen):
            continue
        for e in seen:
            seen[e].add(keys[e])
        seen["strict"].add(raw)
        words.append(raw)
        rows.append(wv.get_vector(w))
    rows = np.stack(rows).astype(np.float32)
    invalid = sum(1 for w in words if w != w.decode("utf-8", "replace").encode("utf-8"))
    for binary, ext in ((False, ".vec"), (True, ".bin")):
        write_word2vec(os.path.join(UTF8, "cut-words" + ext), words, rows, binary)
    refs = {}
    for errors in ("replace", "ignore"):
        for binary, ext in ((False, "vec"), (True, "bin")):
            kv = KeyedVectors.load_word2vec_format(
                os.path.join(UTF8, "cut-words." + ext), binary=binary, unicode_errors=errors
            )
            refs[f"{ext}_{errors}_words"] = np.array(kv.index_to_key)
            refs[f"{ext}_{errors}_vectors"] = kv.vectors.astype(np.float32)
            write_reference_text(
                os.path.join(UTF8, f"cut-words.{ext}.{errors}.gensim.txt"), kv.index_to_key, kv.vectors
            )
    np.savez_compressed(os.path.join(UTF8, "cut-words.gensim.npz"), **refs)

    # Words that collide once decoded, and ones that decode to nothing.
    collide = [
        b"abc",
        b"stra\xc3",
        b"abc\xc3",
        b"abc\xe2\x82",
        b"\xff\xfe",
        b"ok\xe2\x82\xacx",
        b"\xe2\x82z",
        b"stra\xc3\x9f",
        b"\xc3",
        b"z",
        b"last",
    ]
    crow = np.arange(len(collide) * 4, dtype=np.float32).reshape(len(collide), 4) / 8
    write_word2vec(os.path.join(UTF8, "cut-collide.vec"), collide, crow, binary=False)
    write_word2vec(os.path.join(UTF8, "cut-collide.bin"), collide, crow, binary=True)
    print(f"cut-words: {len(words)} words, {invalid} not valid UTF-8")


def make_fasttext_utf8(tmp):
    with open(os.path.join(FASTTEXT, "multilingual.txt"), "rb") as f:
        words = f.read().split()
    # Every third word longer than 5 bytes cut there, inside a character or not.
    cut_words = [w[:5] if len(w) > 5 and i % 3 == 0 else w for i, w in enumerate(words)]
    corpus = os.path.join(tmp, "cut.train")
    with open(corpus, "wb") as f:
        f.write(b" ".join(cut_words) + b"\n")
    prefix = os.path.join(tmp, "cut")
    subprocess.run(
        [
            "fasttext",
            "skipgram",
            "-input",
            corpus,
            "-output",
            prefix,
            "-thread",
            "1",
            "-seed",
            "42",
            "-verbose",
            "0",
            "-dim",
            "8",
            "-bucket",
            "300",
            "-minn",
            "2",
            "-maxn",
            "3",
            "-minCount",
            "2",
            "-epoch",
            "5",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    dump = subprocess.run(
        ["fasttext", "dump", prefix + ".bin", "dict"], check=True, capture_output=True
    ).stdout.split(b"\n")
    raw = [line.rsplit(b" ", 2)[0] for line in dump[1:] if line]
    vectors = subprocess.run(
        ["fasttext", "print-word-vectors", prefix + ".bin"],
        input=b"\n".join(raw) + b"\n",
        check=True,
        capture_output=True,
    ).stdout.split(b"\n")
    rows = np.array([[float(v) for v in line.split()[-8:]] for line in vectors if line], dtype=np.float32)
    assert rows.shape == (len(raw), 8), rows.shape
    shutil.copyfile(prefix + ".bin", os.path.join(UTF8, "cut-words-fasttext.bin"))
    np.savez_compressed(
        os.path.join(UTF8, "cut-words-fasttext.npz"), words=np.array(raw, dtype=np.bytes_), vectors=rows
    )
    invalid = sum(1 for w in raw if w.decode("utf-8", "replace").encode("utf-8") != w)
    print(f"cut-words-fasttext: {len(raw)} words, {invalid} not valid UTF-8")


def compress_all(path, stem):
    with open(path, "rb") as f:
        data = f.read()
    # Fixed times and names keep the archives the same on every run.
    with open(os.path.join(COMPRESSED, stem + ".gz"), "wb") as f:
        with gzip.GzipFile(filename="", mode="wb", fileobj=f, mtime=0) as g:
            g.write(data)
    with open(os.path.join(COMPRESSED, stem + ".bz2"), "wb") as f:
        f.write(bz2.compress(data))
    with open(os.path.join(COMPRESSED, stem + ".xz"), "wb") as f:
        f.write(lzma.compress(data))
    with zipfile.ZipFile(os.path.join(COMPRESSED, stem + ".zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo(stem, (1980, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)


def make_bombs():
    """bzip2 files of a few kB that expand to gigabytes: concatenated streams
    of 100 MiB each."""

    def bomb(name, head, filler, gib):
        chunk = bz2.compress(filler * ((100 << 20) // len(filler)), 9)
        with open(os.path.join(COMPRESSED, name), "wb") as f:
            f.write(bz2.compress(head))
            for _ in range(gib * 1024 // 100):
                f.write(chunk)

    # A line that never ends.
    bomb("bomb-line.vec.bz2", b"2 4\na 1 2 3 4\nb", b" ", 3)
    # Rows beyond the two the header announces.
    bomb("bomb-rows.vec.bz2", b"2 4\na 1 2 3 4\nb 5 6 7 8\n", b"c 0 0 0 0\n", 3)
    # A GloVe file whose first line never ends.
    bomb("bomb-glove.txt.bz2", b"a 1", b" 0", 3)
    # A word2vec binary word without its end.
    bomb("bomb-word.w2v.bz2", b"1 4\n", b"x", 3)
    # A count far beyond the rows that follow.
    with open(os.path.join(COMPRESSED, "bomb-count.vec.bz2"), "wb") as f:
        f.write(bz2.compress(b"1000000000000 4\na 1 2 3 4\n"))


def make_compressed(tmp):
    from gensim.models import KeyedVectors
    from gensim.models.fasttext import load_facebook_vectors

    os.makedirs(COMPRESSED, exist_ok=True)
    wv = load_facebook_vectors(os.path.join(FASTTEXT, "cbow-en.bin"))
    kv = KeyedVectors(vector_size=wv.vector_size)
    kv.add_vectors(wv.index_to_key[:400], wv.vectors[:400])
    vec = os.path.join(tmp, "cbow-en.vec")
    kv.save_word2vec_format(vec)
    w2v = os.path.join(tmp, "cbow-en.w2v")
    kv.save_word2vec_format(w2v, binary=True)
    glove = os.path.join(tmp, "glove.txt")
    kv.save_word2vec_format(glove, write_header=False)
    compress_all(vec, "cbow-en.vec")
    compress_all(w2v, "cbow-en.w2v")
    shutil.copyfile(vec, os.path.join(COMPRESSED, "cbow-en.vec"))
    # Small enough to cut at every byte in the tests.
    with open(vec, "rb") as f:
        lines = f.read().splitlines(keepends=True)
    small = os.path.join(tmp, "small.vec")
    with open(small, "wb") as f:
        f.write(b"6 16\n" + b"".join(lines[1:7]))
    compress_all(small, "small.vec")
    make_bombs()

    # A small fastText model, as the fastText tool writes it.
    corpus = os.path.join(tmp, "multilingual.train")
    shutil.copyfile(os.path.join(FASTTEXT, "multilingual.txt"), corpus)
    prefix = os.path.join(tmp, "tiny")
    subprocess.run(
        [
            "fasttext",
            "skipgram",
            "-input",
            corpus,
            "-output",
            prefix,
            "-thread",
            "1",
            "-seed",
            "42",
            "-verbose",
            "0",
            "-dim",
            "8",
            "-bucket",
            "300",
            "-minn",
            "2",
            "-maxn",
            "3",
            "-minCount",
            "2",
            "-epoch",
            "5",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    shutil.copyfile(prefix + ".bin", os.path.join(COMPRESSED, "tiny-skipgram.bin"))
    compress_all(prefix + ".bin", "tiny-skipgram.bin")

    # GloVe archives hold several text files: the member is chosen by name.
    with open(glove, "rb") as f:
        data = f.read()
    with zipfile.ZipFile(os.path.join(COMPRESSED, "glove.zip"), "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr(zipfile.ZipInfo("glove.16d.txt", (1980, 1, 1, 0, 0, 0)), data, zipfile.ZIP_DEFLATED)
        z.writestr(
            zipfile.ZipInfo("glove.first.txt", (1980, 1, 1, 0, 0, 0)),
            b"".join(data.splitlines(keepends=True)[:10]),
            zipfile.ZIP_STORED,
        )
    for name in sorted(os.listdir(COMPRESSED)):
        print(f"compressed/{name}: {os.path.getsize(os.path.join(COMPRESSED, name))} bytes")


def main():
    import sys

    parts = set(sys.argv[1:]) or {"floret", "old", "utf8", "compressed"}
    with tempfile.TemporaryDirectory() as tmp:
        if "floret" in parts:
            make_floret(tmp)
        if "old" in parts:
            make_old_fasttext()
        if "utf8" in parts:
            make_utf8()
            make_fasttext_utf8(tmp)
        if "compressed" in parts:
            make_compressed(tmp)


if __name__ == "__main__":
    main()
