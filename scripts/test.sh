#!/usr/bin/env bash
# Builds korvale and runs every test.
#   scripts/test.sh [BUILD_DIR] [extra CMake arguments...]
# Warnings are errors here. Example of the sanitizer build:
#   scripts/test.sh build-asan -DKORVALE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja -DKORVALE_WERROR=ON -DKORVALE_TESTS=ON "$@"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
