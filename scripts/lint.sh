#!/usr/bin/env bash
# Checks formatting and clang-tidy on every C++ source (needs a configured build/).
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp')
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t units < <(git ls-files 'src/*.cpp' 'tests/*.cpp')
printf '%s\n' "${units[@]}" | xargs -P"$(nproc)" -n4 clang-tidy -p build --quiet 2>/dev/null
