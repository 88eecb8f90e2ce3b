#!/usr/bin/env bash
# Builds and runs every test under AddressSanitizer+UBSan and under
# ThreadSanitizer (the end-to-end scenarios run the sanitized daemon, whose
# reports make its exit status non-zero).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
for sanitizer in address thread; do
    cmake -S . -B "build-$sanitizer" -DCMAKE_BUILD_TYPE=Debug -DGLOWKEEPER_SANITIZE="$sanitizer" >/dev/null
    cmake --build "build-$sanitizer" -j"$(nproc)"
    (cd "build-$sanitizer" && ctest --output-on-failure -j8 --timeout 180)
done
