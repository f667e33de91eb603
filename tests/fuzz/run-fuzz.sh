#!/usr/bin/env bash
# Builds the libFuzzer target with clang beside the main build and runs it: every
# corpus file once, then a bounded fuzzing session. A crash, a broken check, a
# sanitizer report, a leak or an input slower than the timeout fails the test.
# Usage: run-fuzz.sh SOURCE_DIR(tests/fuzz) WORK_DIR [TARGET CORPUS_DIR MAX_LEN];
# VELMORA_FUZZ_SECONDS sets the time.
set -euo pipefail
src=$1
work=$2
target=${3:-velmora_inpaint_fuzzer}
corpus=${4:-$src/corpus}
max_len=${5:-1024}
seconds=${VELMORA_FUZZ_SECONDS:-25}

cxx=""
for candidate in clang++-14 clang++; do
  if command -v "$candidate" >/dev/null; then cxx=$(command -v "$candidate"); break; fi
done
if [ -z "$cxx" ]; then
  echo "skipped: no clang++ (scripts/setup.sh installs clang-14 and libclang-rt-14-dev)"
  exit 77
fi

cmake -S "$src/clang" -B "$work/build" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$work/build" -j 2 --target "$target" >/dev/null
fuzzer=$work/build/$target

export UBSAN_OPTIONS=print_stacktrace=1
mkdir -p "$work/artifacts"
common=(-timeout=10 -rss_limit_mb=2048 -artifact_prefix="$work/artifacts/")

# The committed inputs alone first: a failure here is a regression, not a new find.
shopt -s nullglob
seeds=("$corpus"/*)
if [ ${#seeds[@]} -eq 0 ]; then
  echo "no corpus files in $corpus"
  exit 1
fi
"$fuzzer" "${common[@]}" "${seeds[@]}" 2>"$work/replay.log" || { cat "$work/replay.log"; exit 1; }
echo "corpus: ${#seeds[@]} inputs passed"

# New inputs go to a fresh folder, never into the source tree.
rm -rf "$work/corpus"
mkdir -p "$work/corpus"
if ! "$fuzzer" "${common[@]}" -max_total_time="$seconds" -max_len="$max_len" -print_final_stats=1 \
    "$work/corpus" "$corpus" 2>"$work/fuzz.log"; then
  tail -n 80 "$work/fuzz.log"
  echo "fuzzing failed; the input that did it is under $work/artifacts/"
  exit 1
fi
grep -E '^(stat::number_of_executed_units|stat::new_units_added|INFO: Seed)' "$work/fuzz.log" || true
echo "fuzzing: ${seconds}s, no fault found"
