#!/usr/bin/env bash
# Builds everything and runs every test: the normal build (unit, script and
# interop tests), the AddressSanitizer + UndefinedBehaviorSanitizer build
# (unit tests), the server's threads test and the agent's backup and restore
# (the backup hashes on a thread of its own and its tracker snapshots on
# several; the restore's reader runs beside the plug-in's writes) under
# ThreadSanitizer, and
# a short run of every fuzz target.
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

echo "== thread sanitizer: one machine opened from many threads; backups that hash beside their writes; restores that read ahead while they write"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS=-fsanitize=thread \
  -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
ninja -C build-tsan -j"$jobs" test_virtual_pc test_hvagent
export HVPLUG_LIB_DIR="$PWD/build-tsan/lib" TSAN_OPTIONS=halt_on_error=1
build-tsan/bin/test_virtual_pc --gtest_filter='ServerThreads.*'
build-tsan/bin/test_hvagent --gtest_filter='Folder.*Restore*:Folder.DataWriter*'
bash scripts/restore_threads.sh build-tsan
unset HVPLUG_LIB_DIR TSAN_OPTIONS

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHV_FUZZ=ON \
  -DHV_TESTS=OFF >/dev/null
ninja -C build-fuzz -j"$jobs"
bash scripts/fuzz.sh build-fuzz 20
echo "== all tests passed"
