"""Two builds of the extensions on the same measures (--compare-wheel):

lookups  _mave's load_embedding of random known words (measure 2)
embed    mave's embed of the same words on one thread (measure 7)

The build directory's modules (bench/run.sh: GCC, Release) against those of
a wheel (scripts/build-wheels: zig for glibc 2.28, the C++ runtime linked
in, the target's baseline CPU). The wheel is unpacked as it is; both builds
load the search's OpenBLAS from .venv's scipy-openblas32. Each pass runs one
child per build, in alternating order, and each child times its own rounds;
the table keeps the best median per build, so that load from other work
weighs on neither more than the other.
"""

import os
import zipfile

from common import log, per_call, recache, x
from measures_embed import worker_embed
from measures_lookups import worker_lookup


def unpacked_wheel(args):
    """The wheel's files unpacked under the data directory (once per wheel)."""
    wheel = args.compare_wheel
    target = args.out / "wheels" / wheel.stem
    marker = target / ".complete"
    if not marker.exists() or marker.read_text() != str(wheel.stat().st_mtime_ns):
        with zipfile.ZipFile(wheel) as z:
            for info in z.infolist():
                path = z.extract(info, target)
                # The mode the wheel records (the extensions and libraries
                # are executable).
                mode = info.external_attr >> 16
                if mode:
                    os.chmod(path, mode)
        marker.write_text(str(wheel.stat().st_mtime_ns))
    return target


def measure_builds(args, runner, table, dense):
    """Measures 2 and 7, the build directory's extensions against the wheel's."""
    wheel_dir = unpacked_wheel(args)
    builds = (("build", None), ("wheel", wheel_dir))
    path, queries = str(dense / "model.fifu"), str(dense / "known.txt")
    chosen = [m for m in ("lookups", "embed") if m in args.only]
    for measure in chosen:
        log(
            f"builds: {measure}, {args.build_dir.name} against {args.compare_wheel.name}, "
            f"{args.passes} passes"
        )
        recache(dense / "model.fifu")
        load = [os.getloadavg()[0]]
        best = {name: None for name, _ in builds}
        checks = {}
        for k in range(args.passes):
            order = builds if k % 2 == 0 else builds[::-1]
            for name, modules in order:
                if measure == "lookups":
                    result = runner.child(
                        worker_lookup,
                        {"tool": "mave", "path": path, "queries": queries, "rounds": args.rounds},
                        modules=modules,
                    )
                else:
                    result = runner.child(
                        worker_embed,
                        {
                            "tool": "mave",
                            "path": path,
                            "queries": queries,
                            "rounds": args.rounds,
                            "threads": 1,
                        },
                        modules=modules,
                    )
                t = per_call(result)
                best[name] = t if best[name] is None else min(best[name], t)
                checks.setdefault(name, result["check"])
                load.append(os.getloadavg()[0])
        t_build, t_wheel = best["build"], best["wheel"]
        what = (
            "load_embedding of random known words"
            if measure == "lookups"
            else "embed of random known words, threads=1"
        )
        unit = "ns/call" if measure == "lookups" else "ns/word"
        table.add(
            f"{measure} (builds)",
            f"{what}: wheel (zig) vs {args.build_dir.name} (GCC)",
            unit,
            t_wheel,
            None,
            None,
            f"{t_build:.1f} ({args.build_dir.name})",
            f"wheel/build {x(t_wheel / t_build)}",
            "<=1.05x build",
            t_wheel / t_build <= 1.05,
        )
        table.notes.append(
            f"builds {measure}: best of {args.passes} passes x median of {args.rounds} rounds "
            f"per build; load average (1 min) {min(load):.2f} to {max(load):.2f} over the "
            f"passes; the first 20 vectors equal bit for bit: "
            f"{'yes' if checks['build'] == checks['wheel'] else 'NO'}"
        )
