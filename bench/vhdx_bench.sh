#!/bin/bash
# hvdisk bench against qemu-img bench on the same files in the same run, both
# at queue depth 64 (qemu's default) and at depth 1, and the peak memory of reading a whole 64 GiB disk. A benchmark, not a test:
# it prints figures and ratios and fails only when a tool fails.
#   bench/vhdx_bench.sh BUILD_DIR [WORK_DIR]
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
HVDISK=$BUILD/bin/hvdisk
WORK=$(mktemp -d "${2:-/tmp}/vhdxbench.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"

qemu_seconds() { qemu-img bench "$@" 2>&1 | sed -n 's/^Run completed in \([0-9.]*\) seconds.*/\1/p'; }
hv_seconds() { "$HVDISK" bench "$@" | sed -n 's/.* seconds \([0-9.]*\) .*/\1/p'; }
report() {  # name requests size qemu_s hv_s
  awk -v n="$1" -v c="$2" -v s="$3" -v q="$4" -v h="$5" 'BEGIN {
    printf "%-34s qemu %8.1f MB/s %9.0f req/s | hvdisk %8.1f MB/s %9.0f req/s | ratio %.2fx\n",
      n, c*s/q/1e6, c/q, c*s/h/1e6, c/h, q/h }'
}
# Empty disks with 1 MB blocks, so that every write below allocates a block.
fresh() { rm -f "$1"; qemu-img create -q -f vhdx -o block_size=1M "$1" 16G; }

# A 2 GiB disk whose every block holds data.
head -c 2G /dev/zero | tr '\0' 'Z' > full.raw
qemu-img convert -O vhdx -o block_size=32M full.raw full.vhdx
rm -f full.raw
cat full.vhdx > /dev/null   # both tools start from the page cache

for depth in 64 1; do
  q=$(qemu_seconds -f vhdx -d $depth -c 8192 -s 512K full.vhdx); h=$(hv_seconds full.vhdx -d $depth -c 8192 -s 512K)
  report "512 KiB sequential reads (qd $depth)" 8192 524288 "$q" "$h"
  q=$(qemu_seconds -f vhdx -d $depth -c 300000 -s 4K full.vhdx); h=$(hv_seconds full.vhdx -d $depth -c 300000 -s 4K)
  report "4 KiB sequential reads (qd $depth)" 300000 4096 "$q" "$h"
  # Writes start from empty disks with no dirty pages pending. The write-back
  # of one run slows whatever runs next, so the tools run in the order
  # qemu, hvdisk, hvdisk, qemu and each keeps its better time.
  write_pair() {  # count size -> "qemu_s hv_s"; one request per 1 MB block
    local q1 q2 h1 h2
    fresh q.vhdx; sync; q1=$(qemu_seconds -f vhdx -d $depth -w -c "$1" -s "$2" -S 1M q.vhdx); rm -f q.vhdx
    fresh h.vhdx; sync; h1=$(hv_seconds h.vhdx -w -d $depth -c "$1" -s "$2" -S 1M); rm -f h.vhdx
    fresh h.vhdx; sync; h2=$(hv_seconds h.vhdx -w -d $depth -c "$1" -s "$2" -S 1M); rm -f h.vhdx
    fresh q.vhdx; sync; q2=$(qemu_seconds -f vhdx -d $depth -w -c "$1" -s "$2" -S 1M q.vhdx); rm -f q.vhdx
    sync
    awk -v a="$q1" -v b="$q2" -v c="$h1" -v d="$h2" 'BEGIN { print (a < b ? a : b), (c < d ? c : d) }'
  }
  read -r q h <<< "$(write_pair 1024 1M)"
  report "1 MiB allocating writes (qd $depth)" 1024 1048576 "$q" "$h"
  read -r q h <<< "$(write_pair 4096 4K)"
  report "4 KiB allocating writes (qd $depth)" 4096 4096 "$q" "$h"
done

# Peak memory of reading a whole 64 GiB disk with some data in it.
"$HVDISK" create big.vhdx 64G >/dev/null
head -c 64M /dev/zero | tr '\0' 'x' > piece
for offset in 0 17179869184 68652367872; do "$HVDISK" write big.vhdx piece --offset $offset; done
/usr/bin/time -v "$HVDISK" read big.vhdx /dev/null 2> time.txt
echo "hvdisk read of a 64 GiB disk: peak RSS $(sed -n 's/.*Maximum resident set size (kbytes): //p' time.txt) KiB," \
     "$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' time.txt) wall"
