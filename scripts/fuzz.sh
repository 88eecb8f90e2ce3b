#!/usr/bin/env bash
# Builds the libFuzzer targets (ASan+UBSan) into ./build-fuzz and runs each
# for FUZZ_SECONDS (30 by default) on a scratch copy of its seed corpus, so
# the repository's corpus never grows. A crash, leak, hang (-timeout) or big
# allocation (-rss_limit_mb, -malloc_limit_mb) fails the run; the input that
# caused it is left in build-fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh clang libclang-rt-14-dev

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DGLOWKEEPER_FUZZ=ON -DGLOWKEEPER_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target auth_status_fuzz journal_line_fuzz

# A smaller quarantine keeps the resident size well below the limit.
export ASAN_OPTIONS="quarantine_size_mb=64${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p build-fuzz/artifacts
for pair in auth_status:auth journal_line:journal; do
    target=${pair%%:*} corpus=${pair##*:}
    cp -r "fuzz/corpus/$corpus" "$scratch/$corpus"
    echo "fuzz: $target for ${FUZZ_SECONDS:-30} s"
    "build-fuzz/${target}_fuzz" "$scratch/$corpus" -max_total_time="${FUZZ_SECONDS:-30}" \
        -timeout=5 -rss_limit_mb=512 -malloc_limit_mb=64 -max_len=4096 \
        -artifact_prefix="build-fuzz/artifacts/${target}-" -print_final_stats=1 2>"$scratch/$target.log" \
        || { tail -n 60 "$scratch/$target.log" >&2; echo "fuzz: $target found a fault" >&2; exit 1; }
    grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units)' "$scratch/$target.log" || true
done
