#!/usr/bin/env bash
# Peak memory and allocations per element of XML tag trees, for documents of
# empty elements of a machine file's size up to the reader's cap and beyond,
# and for nested elements. With PEER_COMMIT, the same with that commit's XML
# layer (built here from its sources, linked with this build's other
# libraries), line by line below this tree's.
#   bench/xml_memory.sh [BUILD] [PEER_COMMIT]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
peer=${2:-}
ninja -C "$build" xml_memory >/dev/null
programs=("$build/bin/xml_memory")
if [ -n "$peer" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  git archive "$peer" src/core/xml | tar -x -C "$work"
  cp bench/xml_memory.cpp "$work/bench_xml_memory.cpp"
  flags=(-std=c++20 -O2 -g -DNDEBUG -I"$work/src" -Iinclude -Isrc -I"$build/generated")
  objects=()
  for source in "$work"/src/core/xml/*.cpp "$work/bench_xml_memory.cpp"; do
    case $source in *_test.cpp | *testutil.cpp) continue ;; esac
    object="$work/$(basename "$source" .cpp).o"
    c++ "${flags[@]}" -c "$source" -o "$object"
    objects+=("$object")
  done
  # The peer's XML objects come first, so that none of this build's is taken.
  c++ -O2 "${objects[@]}" -o "$work/xml_memory_peer" -Wl,-rpath,"$PWD/$build/lib" "$build/lib/libhvengine.a" \
    -lnettle "$build/lib/libhvruntime.a" -licui18n -licuuc -licudata -ldl "$build/lib/libhvhost.so"
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
