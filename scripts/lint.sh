#!/usr/bin/env bash
# Checks formatting and clang-tidy on every C++ source (needs a configured build/).
# Fuzz targets are not in build/; clang-tidy borrows their neighbours' flags.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
[ -f build/compile_commands.json ] || scripts/build.sh >/dev/null
mapfile -t sources < <(git ls-files '*.cpp' '*.hpp')
[ ${#sources[@]} -gt 0 ] || { echo "lint: no sources found (not a git checkout?)" >&2; exit 1; }
clang-format --dry-run --Werror "${sources[@]}"
mapfile -t units < <(git ls-files 'src/*.cpp' 'tests/*.cpp' 'fuzz/*.cpp')
printf '%s\n' "${units[@]}" | xargs -P"$(nproc)" -n4 clang-tidy -p build --quiet 2>/dev/null
