#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
set -euo pipefail
# Build and tests; valgrind for the memcheck runs; clang and its runtime for the fuzz
# targets; clang-format and clang-tidy for the lint test; man for the installed page.
packages=(g++ make cmake libgtest-dev libgmock-dev nlohmann-json3-dev valgrind
          clang libclang-rt-dev clang-format clang-tidy man-db groff-base)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
