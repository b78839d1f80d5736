#!/usr/bin/env bash
# Builds qbxmodflash and its stand-in crate system twice, plainly and with AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs every test in both builds (the plain one adds
# the valgrind runs, the lint and the install test); then runs each fuzz target for a
# bounded time (QBX_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
total=0
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
  total=$((total + $(ctest --test-dir "$dir" -N | sed -n 's/^Total Tests: //p')))
done

echo "== fuzz targets"
bash fuzz/run.sh
total=$((total + 3))

# Reached only when every step passed (set -e).
echo "all: $total passed, 0 failed"
