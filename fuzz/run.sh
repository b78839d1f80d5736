#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for a bounded time (default 60 s, or
# QBX_FUZZ_SECONDS) from generated seeds. A crash ends the run with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${QBX_FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQBX_FUZZ=ON -DQBX_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null
work=build-fuzz/corpus
rm -rf "$work"
bash fuzz/make_seeds.sh build-fuzz "$work"
for target in identify_fuzzer command_line_fuzzer frame_fuzzer; do
  echo "== $target, ${seconds}s"
  mkdir -p "build-fuzz/artifacts/$target"
  build-fuzz/$target -max_total_time="$seconds" -close_fd_mask=3 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/$target/" "$work/$target" 2>&1 |
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+ +DONE)|ERROR|SUMMARY' || true
  test "${PIPESTATUS[0]}" -eq 0
done
