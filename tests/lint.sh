#!/usr/bin/env bash
# The tree is formatted with clang-format, and clang-tidy finds nothing in the program,
# the stand-in crate system or the tools.
#   tests/lint.sh SOURCE_DIR BUILD_DIR   (BUILD_DIR holds compile_commands.json)
set -euo pipefail
cd "$1"
build=$2
mapfile -t sources < <(find src sim tools tests bench fuzz -name '*.cc' -o -name '*.h' | sort)
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t checked < <(find src sim tools -name '*.cc' | sort)
if ! report=$(clang-tidy -p "$build" --quiet "${checked[@]}" 2>&1); then
  grep -v 'warnings generated' <<<"$report"
  exit 1
fi
echo "formatted and tidy: ${#sources[@]} files, ${#checked[@]} checked by clang-tidy"
