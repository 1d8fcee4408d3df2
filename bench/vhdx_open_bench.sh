#!/bin/bash
# The cost of opening a large, fully allocated VHDX file: hvdisk info against
# qemu-img info on the same file in the same run (wall time and peak resident
# memory, best of several runs each), as ratios. An 8 TiB disk with 4 MiB
# blocks has a 16 MiB table; the file is sparse, so it takes no real space.
# Two layouts: blocks in table order (a file written front to back) and
# blocks in shuffled file order (a disk written at random). A benchmark, not
# a test: it prints figures and fails only when a tool fails.
#   bench/vhdx_open_bench.sh BUILD_DIR [WORK_DIR] [RUNS]
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
HVDISK=$BUILD/bin/hvdisk
WORK=$(mktemp -d "${2:-/tmp}/vhdxopen.XXXXXX")
RUNS=${3:-5}
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

# Every payload entry fully present at consecutive 4 MiB places after the
# table (or a random permutation of them); the file is grown to hold them.
allocate() {  # file order(sorted|shuffled)
  python3 - "$1" "$2" <<'EOF'
import array, os, random, struct, sys
path, order = sys.argv[1], sys.argv[2]
with open(path, 'r+b') as f:
    f.seek(0x30000)
    table = f.read(65536)
    count = struct.unpack_from('<I', table, 8)[0]
    bat = None
    for i in range(count):
        guid = table[16 + 32 * i:32 + 32 * i]
        if guid.hex() == '6677c22d23f600429d64115e9bfd4a08':
            bat = struct.unpack_from('<QI', table, 32 + 32 * i)
    bat_offset, bat_length = bat
    block, ratio = 4 << 20, (512 << 23) // (4 << 20)
    blocks = (8 << 40) // block
    first_mb = (bat_offset + bat_length) >> 20
    places = list(range(blocks))
    if order == 'shuffled':
        random.Random(1).shuffle(places)
    entries = array.array('Q', bytes(8 * (blocks + (blocks - 1) // ratio)))
    for b, place in enumerate(places):
        entries[b + b // ratio] = ((first_mb + place * 4) << 20) | 6
    f.seek(bat_offset)
    f.write(entries.tobytes())
    f.truncate((first_mb << 20) + blocks * block)
EOF
}

best() {  # command... -> "seconds kilobytes", the best of RUNS runs
  local t m bt="" bm=""
  for _ in $(seq "$RUNS"); do
    /usr/bin/time -f '%e %M' -o run.txt "$@" >/dev/null
    read -r t m < run.txt
    if [ -z "$bt" ] || awk -v a="$t" -v b="$bt" 'BEGIN { exit !(a < b) }'; then bt=$t; fi
    if [ -z "$bm" ] || [ "$m" -lt "$bm" ]; then bm=$m; fi
  done
  echo "$bt $bm"
}

for order in sorted shuffled; do
  rm -f big.vhdx
  "$HVDISK" create big.vhdx 8T >/dev/null
  allocate big.vhdx $order
  head -c 64M big.vhdx > /dev/null  # headers, metadata and table in the page cache
  read -r qt qm <<< "$(best qemu-img info -f vhdx big.vhdx)"
  read -r ht hm <<< "$(best "$HVDISK" info big.vhdx)"
  awk -v o="$order" -v qt="$qt" -v qm="$qm" -v ht="$ht" -v hm="$hm" 'BEGIN {
    printf "open 8 TiB, 4 MiB blocks, %-8s qemu-img info %6.3f s %7.1f MB | hvdisk info %6.3f s %7.1f MB | time %.2fx memory %.2fx\n",
      o, qt, qm / 1024, ht, hm / 1024, ht / qt, hm / qm }'
done
