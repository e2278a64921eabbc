#!/usr/bin/env bash
# Builds _mave, mave and the C++ benchmark programs in build-bench (Release), installs
# the peers (bench/requirements.txt) into .venv, then runs bench/run.py with the
# given arguments, e.g. `bench/run.sh` or `bench/run.sh --large --clean`.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
"$ROOT/scripts/setup"

"$PY" -m pip install -q --disable-pip-version-check -r "$ROOT/bench/requirements.txt"
BUILD="$ROOT/build-bench"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" \
  -DMAVE_BUILD_TESTS=OFF -DMAVE_BUILD_BENCH=ON >/dev/null
ninja -C "$BUILD" -j2 _mave _native mave_bench_load mave_bench_lookup >/dev/null
MAVE_BENCH_COMMAND="bench/run.sh $*" exec "$PY" "$ROOT/bench/run.py" --build-dir "$BUILD" "$@"
