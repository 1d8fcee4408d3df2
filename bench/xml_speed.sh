#!/usr/bin/env bash
# Reading, and reading and writing back, the sample machine files with this
# tree's XML layer against the XML layer of an earlier commit (built here from
# its sources, linked with this build's other libraries). Prints the ratios of
# CPU times (below 1: this tree is faster), best of five alternating runs.
#   bench/xml_speed.sh [PEER_COMMIT] [BUILD] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
peer=${1:-3b6f3d8}
build=${2:-build}
rounds=${3:-3000}
ninja -C "$build" xml_speed >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git archive "$peer" src/core/xml | tar -x -C "$work"
cp bench/xml_speed.cpp "$work/bench_xml_speed.cpp"
flags=(-std=c++20 -O2 -g -DNDEBUG -I"$work/src" -Iinclude -Isrc -I"$build/generated")
objects=()
for source in "$work"/src/core/xml/*.cpp "$work/bench_xml_speed.cpp"; do
  case $source in *_test.cpp | *testutil.cpp) continue ;; esac
  object="$work/$(basename "$source" .cpp).o"
  c++ "${flags[@]}" -c "$source" -o "$object"
  objects+=("$object")
done
# The peer's XML objects come first, so that none of this build's is taken.
c++ -O2 "${objects[@]}" -o "$work/xml_speed_peer" -Wl,-rpath,"$PWD/$build/lib" "$build/lib/libhvengine.a" \
  -lnettle "$build/lib/libhvruntime.a" -licui18n -licuuc -licudata -ldl "$build/lib/libhvhost.so"
files=(tests/data/vmc/*.vmc)
for mode in read rewrite; do
  best_new=
  best_peer=
  for _ in 1 2 3 4 5; do
    read -r new size_new < <("$build/bin/xml_speed" "$mode" "$rounds" "${files[@]}")
    read -r old size_old < <("$work/xml_speed_peer" "$mode" "$rounds" "${files[@]}")
    [ "$size_new" = "$size_old" ] || { echo "the two builds read or wrote different documents" >&2; exit 1; }
    best_new=$(awk -v a="$new" -v b="${best_new:-$new}" 'BEGIN { print (a < b ? a : b) }')
    best_peer=$(awk -v a="$old" -v b="${best_peer:-$old}" 'BEGIN { print (a < b ? a : b) }')
  done
  awk -v a="$best_new" -v b="$best_peer" -v peer="$peer" -v mode="$mode" \
    'BEGIN { printf "%s machine files: %.2f times the time of %s\n", mode, a / b, peer }'
done
