#!/usr/bin/env bash
# Reading, and reading and writing back, the sample machine files with this
# tree's XML layer against the XML layer of an earlier commit (built here from
# its sources, linked with this build's other libraries). Prints the ratios of
# CPU times (below 1: this tree is faster), best of five alternating runs.
#   bench/xml_speed.sh [PEER_COMMIT] [BUILD] [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
source bench/xml_peer.sh
peer=${1:-3b6f3d8}
build=${2:-build}
rounds=${3:-3000}
ninja -C "$build" xml_speed >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
build_xml_peer "$peer" "$build" xml_speed "$work"
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
