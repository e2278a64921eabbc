"""Measure of printing:

eval  _mave's eval of whole vectors with fd 1 on /dev/null, against printing
      the repr of the same values as a Python list of floats
"""

import os
import sys

from common import log, per_call, read_lines, rounds_of, x

# ---------------------------------------------------------------------------
# Worker (child process)


def worker_eval(job):
    """eval of whole vectors with fd 1 on /dev/null, against printing the
    repr of the same values as a Python list of floats."""
    import numpy as np
    import _mave

    m = _mave.FfModel(job["path"])
    words = read_lines(job["queries"], job["limit"])
    a = np.zeros(m.get_dims(), np.float32)
    lists = []
    for w in words:
        m.load_embedding(w, a)
        lists.append(a.tolist())

    def run_eval():
        for w in words:
            m.eval(w)

    def run_print():
        for values in lists:
            print(repr(values))
        sys.stdout.flush()

    sys.stdout.flush()
    saved = os.dup(1)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    try:
        result = {
            "n": len(words),
            "ns": rounds_of(run_eval, job["rounds"]),
            "print_ns": rounds_of(run_print, job["rounds"]),
        }
    finally:
        sys.stdout.flush()
        os.dup2(saved, 1)
        os.close(devnull)
        os.close(saved)
    return result


# ---------------------------------------------------------------------------
# The parent


def measure_eval(args, runner, table, dense):
    log("eval: eval against print(repr(list))")
    r = runner.child(
        worker_eval,
        {
            "path": str(dense / "model.fifu"),
            "queries": str(dense / "known.txt"),
            "limit": args.evals,
            "rounds": args.rounds,
        },
    )
    t_ours, t_print = per_call(r) / 1e3, per_call(r, "print_ns") / 1e3
    table.add(
        "eval",
        f"eval of a {args.dims}-dim vector, fd 1 on /dev/null",
        "us/line",
        t_ours,
        None,
        None,
        f"{t_print:.2f} (print(repr(list)))",
        f"baseline/mave {x(t_print / t_ours)}",
        ">=1x baseline",
        t_print / t_ours >= 1,
    )


def add_arguments(p):
    p.add_argument("--evals", type=int, default=20_000, help="vectors printed per round")
