"""Measures of static sentence models:

static-load  mave.load of a Model2Vec folder (a WordPiece tokenizer of
             --static-tokens tokens, a float32 table of --static-dims) against
             Model2Vec's StaticModel.from_pretrained of the same folder: time,
             resident memory and the table pages touched
"""

import gc
import time

from common import dataset_dir, log, mapped_rss_kib, median, recache, rounds_of, rss_kib, x

# ---------------------------------------------------------------------------
# The data set


def make_static(args, runner):
    """A Model2Vec folder written by Model2Vec itself: a WordPiece tokenizer
    (BERT normalizer and pre-tokenizer) over generated words and their
    continuations, and a table of normal values."""
    n, dims = args.static_tokens, args.static_dims
    d, done = dataset_dir(args, f"static-{n}x{dims}-s{args.seed}")
    if done:
        return d
    log(f"generating a static model of {n} tokens x {dims} dims in {d}")
    d.mkdir(parents=True, exist_ok=True)
    runner.child(worker_make_static, {"dir": str(d), "tokens": n, "dims": dims, "seed": args.seed})
    (d / ".complete").touch()
    return d


def worker_make_static(job):
    import numpy as np
    from make_fasttext_model import words
    from model2vec import StaticModel
    from tokenizers import Tokenizer, models, normalizers, pre_tokenizers

    rng = np.random.default_rng(job["seed"] + 30)
    n = job["tokens"]
    special = ["[PAD]", "[UNK]", "[CLS]", "[SEP]", "[MASK]"]
    generated = [w.decode() for w in words(n - len(special), rng)]
    # A third of them continue a word, as WordPiece's pieces do.
    vocab = special + [("##" + w) if i % 3 == 0 else w for i, w in enumerate(generated)]
    tokenizer = Tokenizer(models.WordPiece({t: i for i, t in enumerate(vocab)}, unk_token="[UNK]"))
    tokenizer.normalizer = normalizers.BertNormalizer(lowercase=True)
    tokenizer.pre_tokenizer = pre_tokenizers.BertPreTokenizer()
    table = rng.standard_normal((n, job["dims"]), dtype=np.float32)
    StaticModel(table, tokenizer, normalize=True).save_pretrained(job["dir"])
    return {}


# ---------------------------------------------------------------------------
# Workers (child processes)


def worker_static_load(job):
    """Load time, resident memory after the first load and the table pages
    the loader touched; for mave also the first encode, which reads the
    whole tokenizer.json into the core's tokenizer."""
    folder, tool = job["dir"], job["tool"]
    table_path = folder + "/model.safetensors"
    if tool == "mave":
        import mave

        def load():
            return mave.load(folder)
    else:
        import numpy  # noqa: F401  (imported before the measure, as mave's import brings it)
        from model2vec import StaticModel

        def load():
            return StaticModel.from_pretrained(folder)

    gc.collect()
    before = rss_kib()
    model = load()
    result = {"rss_growth_kib": rss_kib() - before, "table_rss_after_load_kib": mapped_rss_kib(table_path)}
    if tool == "mave":
        first = rounds_of(lambda: model.encode(["a first text"]), 1, warmup=False)
        result["first_encode_ns"] = first[0]
    del model
    # The processor time too: on a machine shared with other work the wall
    # time of a round also counts the time others held the cores.
    cpu = []

    def timed_load():
        t0 = time.process_time_ns()
        load()
        cpu.append(time.process_time_ns() - t0)

    result["ns"] = rounds_of(timed_load, job["rounds"], warmup=tool == "mave")
    result["cpu_ns"] = cpu[-job["rounds"] :]
    return result


# ---------------------------------------------------------------------------
# The parent


def measure_static_load(args, runner, table, folder):
    log("static-load: mave.load against StaticModel.from_pretrained")
    for name in ("model.safetensors", "tokenizer.json"):
        recache(folder / name)
    job = {"dir": str(folder), "rounds": args.rounds}
    ours = runner.child(worker_static_load, dict(job, tool="mave"))
    # Model2Vec reads the whole table each time: fewer rounds, no warm-up.
    peer = runner.child(worker_static_load, dict(job, tool="model2vec", rounds=max(1, min(args.rounds, 2))))
    t_ours, t_peer = median(ours["ns"]) / 1e6, median(peer["ns"]) / 1e6
    cpu_ours, cpu_peer = median(ours["cpu_ns"]) / 1e6, median(peer["cpu_ns"]) / 1e6
    n, dims = args.static_tokens, args.static_dims
    table_mib = n * dims * 4 / 2**20
    table.add(
        "static-load",
        f"load a static model ({n} tokens x {dims} float32) vs " "Model2Vec StaticModel.from_pretrained",
        "ms",
        t_ours,
        None,
        None,
        f"{t_peer:.0f} (Model2Vec)",
        f"Model2Vec/mave {x(t_peer / t_ours)}",
        "<= 50 ms",
        t_ours <= 50,
    )
    table.add(
        "static-load",
        "  the same in processor time (user + system) of a load",
        "ms",
        cpu_ours,
        None,
        None,
        f"{cpu_peer:.0f} (Model2Vec)",
        f"Model2Vec/mave {x(cpu_peer / cpu_ours)}",
    )
    grown, grown_peer = ours["rss_growth_kib"] / 1024, peer["rss_growth_kib"] / 1024
    table.add(
        "static-load",
        "  resident memory growth of the first load",
        "MiB",
        grown,
        None,
        None,
        f"{grown_peer:.0f} (Model2Vec); table {table_mib:.0f}",
        f"table/mave {x(table_mib / max(grown, 0.01))}",
        "far below the table",
        grown <= table_mib / 10,
    )
    table.add(
        "static-load",
        "  table KiB mapped into the process after load",
        "KiB",
        ours["table_rss_after_load_kib"],
        None,
        None,
        f"{peer['table_rss_after_load_kib']} (Model2Vec)",
        "",
        "0 after load",
        ours["table_rss_after_load_kib"] == 0,
    )
    table.add(
        "static-load",
        "  the first encode of one text (reads tokenizer.json into the core's " "tokenizer)",
        "ms",
        ours["first_encode_ns"] / 1e6,
    )
