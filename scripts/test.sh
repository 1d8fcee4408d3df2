#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (unit, script and
# interop tests), the AddressSanitizer + UndefinedBehaviorSanitizer build
# (unit tests), and a short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build -j"$jobs"
echo "== tests"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== sanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHV_SANITIZE=ON >/dev/null
ninja -C build-asan -j"$jobs"
echo "== sanitizer tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -LE interop

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHV_FUZZ=ON \
  -DHV_TESTS=OFF >/dev/null
ninja -C build-fuzz -j"$jobs"
bash scripts/fuzz.sh build-fuzz 20
echo "== all tests passed"
