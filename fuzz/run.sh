#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build/fuzz, then fuzzes each target in turn.
#
#   fuzz/run.sh [-t SECONDS | -n RUNS] [TARGET...]
#
#   -t SECONDS  time per target (default 60)
#   -n RUNS     executions per target instead of a time, e.g. -n 10000000
#   TARGET      embeddings, fasttext, word2vec, text, glove, decompress, convert, search, tokenizer (default:
#               all, one after the other)
#
# Each run starts from the committed seeds (fuzz/corpus/<target>, the
# regression inputs and, for fasttext, small real models) and keeps what it
# learns in fuzz/corpus-work/<target> (not committed), so later runs go on
# from there. An input that finds a fault is written to
# build/fuzz/findings/<target>/; once the fault is fixed, commit the input
# under fuzz/regressions/<target>/, where ctest replays it in every build.
# The last lines report executions and executions per second per target.
set -euo pipefail

source "$(dirname "$0")/../scripts/common.sh"
"$ROOT/scripts/setup"
# clang and its sanitizer and fuzzing runtimes, for this script only.
apt_install clang libclang-rt-dev
BUILD="$ROOT/build/fuzz"
limit=(-max_total_time=60)
while getopts "t:n:" opt; do
  case $opt in
    t) limit=(-max_total_time="$OPTARG") ;;
    n) limit=(-runs="$OPTARG") ;;
    *) sed -n '2,20p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(embeddings fasttext word2vec text glove decompress convert search tokenizer)

PATH="$ROOT/.venv/bin:$PATH"  # cmake and ninja from the setup
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMAVE_FUZZ=ON -DMAVE_BUILD_MODULE=OFF -DMAVE_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "${MAVE_JOBS:-2}"

summary=()
for target in "${targets[@]}"; do
  work="$ROOT/fuzz/corpus-work/$target"
  findings="$BUILD/findings/$target"
  log="$BUILD/$target.log"
  mkdir -p "$work" "$findings"
  extra=()
  max_len=4096
  if [ "$target" = fasttext ]; then
    # Real models are larger than the synthetic seeds.
    max_len=65536
    extra=(-seed_inputs="$ROOT/tests/data/fasttext/skipgram-maxn0.bin,$ROOT/tests/data/fasttext/supervised-quantized.ftz")
  fi
  if [ "$target" = tokenizer ]; then
    # A tokenizer.json of a few dozen tokens is some kilobytes.
    max_len=16384
  fi
  if [ "$target" = convert ]; then
    # Every reader's seeds.
    extra=("$ROOT/fuzz/corpus/embeddings" "$ROOT/fuzz/corpus/fasttext" "$ROOT/fuzz/corpus/word2vec"
           "$ROOT/fuzz/corpus/text" "$ROOT/fuzz/corpus/glove")
  fi
  echo "fuzzing $target (${limit[*]}), log in $log"
  status=0
  "$BUILD/fuzz/${target}_fuzzer" "${limit[@]}" -max_len="$max_len" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" "${extra[@]}" \
    "$work" "$ROOT/fuzz/corpus/$target" "$ROOT/fuzz/regressions/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  summary+=("$target: ${runs:-?} executions, ${speed:-?} per second, exit status $status")
  if [ $status -ne 0 ]; then
    tail -n 40 "$log" >&2
  fi
done
printf '%s\n' "${summary[@]}"
for line in "${summary[@]}"; do
  case $line in *"exit status 0") ;; *) exit 1 ;; esac
done
