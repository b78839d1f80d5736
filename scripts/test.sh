#!/usr/bin/env bash
# Builds qbxmodflash and its stand-in crate system twice, plainly and with AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs every test in both builds (the plain one adds
# the valgrind runs, the lint and the install test); then runs each fuzz target for a
# bounded time (QBX_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
for variant in plain sanitize; do
  dir=build
  flags=(-DQBX_SANITIZE=OFF)
  if [ "$variant" = sanitize ]; then
    dir=build-sanitize
    flags=(-DQBX_SANITIZE=ON)
  fi
  echo "== $variant build ($dir)"
  cmake -S . -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
done

echo "== fuzz targets"
bash fuzz/run.sh
