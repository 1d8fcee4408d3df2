#!/usr/bin/env bash
# Peak memory and allocations per element of XML tag trees, for documents of
# empty elements of a machine file's size up to the reader's cap and beyond,
# and for nested elements. With PEER_COMMIT, the same with that commit's XML
# layer (built here from its sources, linked with this build's other
# libraries), line by line below this tree's.
#   bench/xml_memory.sh [BUILD] [PEER_COMMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/xml_peer.sh
build=${1:-build}
peer=${2:-}
ninja -C "$build" xml_memory >/dev/null
programs=("$build/bin/xml_memory")
if [ -n "$peer" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  build_xml_peer "$peer" "$build" xml_memory "$work"
  programs+=("$work/xml_memory_peer")
fi
run() {
  for program in "${programs[@]}"; do
    [ "$program" = "${programs[0]}" ] || printf '  %s: ' "$peer"
    "$program" "$@"
  done
}
for size in 4096 262144 1000000 4000000; do
  run "$size" text flat
done
run 1000000 text nested
run 1000000 text indented
run 800000 binary flat  # about 1 MB of binary XML
