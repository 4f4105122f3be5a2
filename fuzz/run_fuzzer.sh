#!/usr/bin/env bash
# Builds the directory-walk fuzzer with clang, packs its seed corpus with brelpack and fuzzes for a
# bounded time (default 60 s). Exits non-zero on any finding; the input that caused it is kept in
# build-fuzz/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

cmake -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBREL_FUZZ=ON -DBUILD_TESTING=OFF
cmake --build build-fuzz -j2 --target walk_directory_fuzzer fuzz_seed_corpus
rm -rf build-fuzz/fuzz-work && mkdir -p build-fuzz/fuzz-work build-fuzz/fuzz-artifacts

log=build-fuzz/fuzz.log
if ! build-fuzz/walk_directory_fuzzer -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix=build-fuzz/fuzz-artifacts/ build-fuzz/fuzz-work build-fuzz/fuzz-corpus > "$log" 2>&1; then
  cat "$log"
  echo "fuzzing found a problem; the input is in build-fuzz/fuzz-artifacts/" >&2
  exit 1
fi
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "fuzzing: $runs runs in ${seconds} s, no findings"
