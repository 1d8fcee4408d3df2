#!/bin/bash
# The VHDX data path against independent readers and writers: disks that
# qemu-img made and qemu-io wrote read identically through hvdisk; disks
# hvdisk made and wrote read identically through qemu-img, 7-Zip and hvdisk
# and pass qemu-img check; changed-block reports match the writes.
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
HVDISK=$BUILD/bin/hvdisk
for tool in qemu-img qemu-io 7zz; do
  command -v $tool >/dev/null || { echo "SKIP: $tool missing"; exit 0; }
done
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
fail() { echo "FAIL: $*"; exit 1; }

# --- qemu-made disks read through hvdisk -----------------------------------
for opts in "" "block_size=1M" "block_state_zero=off,block_size=8M" "subformat=fixed"; do
  rm -f q.vhdx q.raw q.out
  qemu-img create -q -f vhdx ${opts:+-o $opts} q.vhdx 96M
  qemu-io -c "write -P 0x11 0 4k" -c "write -P 0x22 1048064 1536" -c "write -P 0x33 33554432 3M" \
          -c "write -P 0x44 50000384 40001024" -c "write -P 0x55 100662784 512" q.vhdx >/dev/null
  qemu-img convert -O raw q.vhdx q.raw
  "$HVDISK" read q.vhdx q.out
  cmp q.raw q.out || fail "qemu-made disk ($opts) reads differently"
  "$HVDISK" read q.vhdx - --offset 1048000 --length 5000 | cmp - <(dd if=q.raw bs=1 skip=1048000 count=5000 2>/dev/null) ||
    fail "partial read ($opts)"
  "$HVDISK" check q.vhdx >/dev/null || fail "check of the qemu-made disk ($opts)"
done

# --- "*" on a qemu-made dynamic disk: exactly the written blocks, merged -----
qemu-img create -q -f vhdx -o block_state_zero=off,block_size=1M c.vhdx 64M
qemu-io -c "write 0 512" -c "write 1048576 4096" -c "write 5242880 2M" -c "write 10485248 1024" c.vhdx >/dev/null
# blocks 0-1, 5-6, 9-10 (1 MB blocks = 2048 sectors)
printf '0 4096\n10240 4096\n18432 4096\n' > c.expected
"$HVDISK" changes c.vhdx --since '*' > c.got
cmp c.expected c.got || { cat c.got; fail "changes since * on a qemu-made disk"; }

# --- hvdisk-made disks read through qemu-img, 7-Zip and hvdisk ----------------
# Scattered, overlapping, block-unaligned writes, mirrored into a raw model.
"$HVDISK" create h.vhdx 200M >/dev/null
truncate -s 200M h.model
write() {  # offset bytes seed
  head -c "$2" /dev/urandom > piece
  "$HVDISK" write h.vhdx piece --offset "$1"
  dd if=piece of=h.model bs=512 seek=$(($1 / 512)) conv=notrunc status=none
}
write 0 512
write 4193792 1024          # across the first 4 MB block boundary
write 4194304 65536         # overlaps the previous write's second half
write 104857088 9437184     # 9 MB from just below 100 MB: three blocks
write 106954752 1048576     # inside the previous one
write 209714688 512         # the last sector
qemu-img check h.vhdx >/dev/null || fail "qemu-img check of an hvdisk-made disk"
qemu-img compare -q -f vhdx -F raw h.vhdx h.model || fail "qemu-img reads an hvdisk-made disk differently"
"$HVDISK" read h.vhdx h.out
cmp h.out h.model || fail "hvdisk reads its own disk differently"
7zz x -y h.vhdx -o7z >/dev/null
cmp 7z/* h.model || fail "7-Zip reads an hvdisk-made disk differently"
"$HVDISK" check h.vhdx >/dev/null || fail "check of an hvdisk-made disk"

# A 5 GB disk: a write across the 4 GB chunk boundary (sectors 2^23).
"$HVDISK" create big.vhdx 5G >/dev/null
truncate -s 5G big.model
head -c 1048576 /dev/urandom > piece
"$HVDISK" write big.vhdx piece --offset 4294443008
dd if=piece of=big.model bs=512 seek=$((4294443008 / 512)) conv=notrunc status=none
qemu-img check big.vhdx >/dev/null || fail "qemu-img check of the chunk-crossing disk"
qemu-img compare -q -f vhdx -F raw big.vhdx big.model || fail "qemu-img reads the chunk-crossing disk differently"
"$HVDISK" read big.vhdx - --offset 4290772992 --length 8388608 |
  cmp - <(dd if=big.model bs=1M skip=4092 count=8 status=none) || fail "hvdisk reads across the chunk boundary"

# --- the tracker stand-in: the written sectors, within the touched ranges ----
"$HVDISK" create t.vhdx 64M >/dev/null
head -c 8M /dev/urandom > piece
"$HVDISK" write t.vhdx piece --offset 0
ID=$("$HVDISK" track t.vhdx --tracker state)
head -c 512 /dev/urandom > piece
"$HVDISK" write t.vhdx piece --offset 1049088     # sector 2049, inside block 0
"$HVDISK" changes t.vhdx --since "$ID" --tracker state > t.got
# Block 0 lies at 4 MB in the file: the 64 KiB range holding sector 2049
# covers sectors 2048 to 2175.
printf '2048 128\n' > t.expected
cmp t.expected t.got || { cat t.got; fail "tracked changes"; }
"$HVDISK" changes t.vhdx --since 999 --tracker state >/dev/null 2>&1 && fail "an unknown change ID was accepted"
"$HVDISK" read t.vhdx /dev/null
echo PASS
