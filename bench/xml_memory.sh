#!/usr/bin/env bash
# Peak memory and allocations per element of XML tag trees, for documents of
# empty elements of a machine file's size up to the reader's cap and beyond.
#   bench/xml_memory.sh [BUILD]
set -euo pipefail
build=${1:-build}
ninja -C "$build" xml_memory >/dev/null
run() { "$build/bin/xml_memory" "$@"; }
for size in 4096 262144 1000000 4000000; do
  run "$size" text flat
done
run 1000000 text nested
run 800000 binary flat  # about 1 MB of binary XML
