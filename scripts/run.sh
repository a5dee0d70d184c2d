#!/usr/bin/env bash
# Builds the library and runs its tests (the main example arrives with the
# Python module).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DNIVORA_BUILD_TESTS=ON >/dev/null
cmake --build build/release -j "$(nproc)"
ctest --test-dir build/release -j "$(nproc)" --output-on-failure --no-tests=error
