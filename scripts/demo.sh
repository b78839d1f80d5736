#!/usr/bin/env bash
# Builds qbxmodflash, starts the simulated crate server with the crates of
# examples/crates.json, and flashes the example QBX71 firmware into every QBX71 module.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" >/dev/null

# The example firmware is generated, not stored: QBX71, version 1.3.
firmware=build/example-QBX71.bin
build/qbxfwgen --kind QBX71 --version 1.3 --date 2026-12-11 -o "$firmware"

work=$(mktemp -d)
build/qbxd-sim --port 0 --state "$work/state" --log "$work/requests.log" examples/crates.json >"$work/port" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(head -n 1 "$work/port")

echo "\$ qbxmodflash -v --all $firmware    (crate server on 127.0.0.1:$port)"
QBXD_ENDPOINT="127.0.0.1:$port" build/qbxmodflash -v --all "$firmware"
