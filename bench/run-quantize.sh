#!/usr/bin/env bash
# Installs what bench/quantize.py needs (the fastText tool, the two Debian
# documentation packages of its corpus, faiss through the test requirements),
# builds the extensions in build-bench (Release) and runs it with the given
# arguments, e.g. `bench/run-quantize.sh --json bench/out/quantize.json`.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
"$ROOT/scripts/setup"
apt_install fasttext python3.11-doc linux-doc-6.1

BUILD="$ROOT/build-bench"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$PY" \
  -DMAVE_BUILD_TESTS=OFF -DMAVE_BUILD_BENCH=ON >/dev/null
ninja -C "$BUILD" -j2 _mave _native >/dev/null
MAVE_BENCH_COMMAND="bench/run-quantize.sh $*" PYTHONPATH="$BUILD" \
  exec "$PY" "$ROOT/bench/quantize.py" "$@"
