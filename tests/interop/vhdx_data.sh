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

# --- 4096-byte logical sectors (qemu cannot open them; 7-Zip can) ------------
for kind in "" --fixed; do
  rm -rf s4.vhdx s4.model 7z
  "$HVDISK" create s4.vhdx 300M --sector-size 4096 $kind >/dev/null
  truncate -s 300M s4.model
  for offset in 0 4190208 104853504 314560512; do   # the last one ends the disk
    head -c 12288 /dev/urandom > piece
    "$HVDISK" write s4.vhdx piece --offset $offset
    dd if=piece of=s4.model bs=4096 seek=$((offset / 4096)) conv=notrunc status=none
  done
  7zz x -y s4.vhdx -o7z >/dev/null
  cmp 7z/* s4.model || fail "7-Zip reads a 4K-sector disk ($kind) differently"
  "$HVDISK" read s4.vhdx - | cmp - s4.model || fail "hvdisk reads its 4K-sector disk ($kind) differently"
done
printf '0 2048\n24576 2048\n75776 1024\n' > s4.expected   # 4 MB blocks of 1024 sectors
"$HVDISK" create s4d.vhdx 300M --sector-size 4096 >/dev/null
for offset in 0 4190208 104853504 314560512; do "$HVDISK" write s4d.vhdx piece --offset $offset; done
"$HVDISK" changes s4d.vhdx --since '*' > s4.got
cmp s4.expected s4.got || { cat s4.got; fail "changes of a 4K-sector disk"; }
"$HVDISK" create s1k.vhdx 1M --sector-size 1024 >/dev/null 2>&1 && fail "a 1024-byte sector size was accepted"

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

# --- bench: readers in flight on openings of their own change nothing; -------
# writes at any depth leave a consistent disk.
sum=$(sha256sum < h.vhdx)
"$HVDISK" bench h.vhdx -d 8 -c 2000 -s 64K -S 1M >/dev/null || fail "bench at depth 8"
"$HVDISK" bench h.vhdx -d 3 -c 500 -s 4K --random >/dev/null || fail "random bench at depth 3"
[ "$(sha256sum < h.vhdx)" = "$sum" ] || fail "a read-only bench changed the file"
"$HVDISK" bench h.vhdx -w -d 8 -c 300 -s 4K -S 700K -o 1M >/dev/null || fail "write bench"
qemu-img check h.vhdx >/dev/null || fail "qemu-img check after the write bench"
# 300 requests 700 KiB apart from 1 MiB, wrapping at the end: each sector
# written holds 0xA5; compare against the same pattern applied to the model.
head -c 4096 /dev/zero | tr '\0' '\245' > piece
at=1048576
for _ in $(seq 300); do
  dd if=piece of=h.model bs=512 seek=$((at / 512)) conv=notrunc status=none
  at=$((at + 716800)); [ $((at + 4096)) -le 209715200 ] || at=0
done
qemu-img compare -q -f vhdx -F raw h.vhdx h.model || fail "the write bench wrote elsewhere"

# --- a truncated copy: read-only openings read it, writing is refused, ------
# check reports the blocks past the end.
head -c $(( $(stat -c %s h.vhdx) - 3 * 1048576 )) h.vhdx > cut.vhdx
sum=$(sha256sum < cut.vhdx)
"$HVDISK" read cut.vhdx /dev/null || fail "reading a truncated copy"
"$HVDISK" check cut.vhdx > cut.txt && fail "check passed a truncated copy"
grep -q "beyond the end of the file" cut.txt || { cat cut.txt; fail "check did not name the blocks past the end"; }
"$HVDISK" write cut.vhdx piece > cut.txt 2>&1 && fail "a truncated copy was opened for writing"
grep -q "0x3C0062" cut.txt || { cat cut.txt; fail "writing a truncated copy failed otherwise"; }
[ "$(sha256sum < cut.vhdx)" = "$sum" ] || fail "a refused opening changed the file"
# qemu sizes a fixed file to the disk: its last block ends past the file,
# which is whole nonetheless and opens for writing.
qemu-img create -q -f vhdx -o subformat=fixed,block_state_zero=off,block_size=8M qf.vhdx 100M
"$HVDISK" write qf.vhdx piece --offset 104853504 || fail "writing the last sectors of a qemu-made fixed disk"
qemu-img check qf.vhdx >/dev/null || fail "qemu-img check after writing a qemu-made fixed disk"
qemu-img convert -O raw qf.vhdx qf.raw
cmp <(tail -c 4096 qf.raw) piece || fail "qemu reads other data than was written"
echo PASS
