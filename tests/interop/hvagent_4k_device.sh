#!/bin/bash
# A repository on a device with 4096-byte sectors, where direct reads and
# writes must be aligned to 4 KiB: the data file's tail and the restore's
# pieces that are not get through the page cache, and both points restore
# to the disk as it was; a backup that fills the device fails and leaves
# the repository as it was. Needs root, losetup and mkfs.ext4; skipped
# without.
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
AGENT=$BUILD/bin/hvagent
HVDISK=$BUILD/bin/hvdisk
export HVHOST_TRACE_FILE=/dev/null
WORK=$(mktemp -d)
MNT=$WORK/mnt
LOOP=
cleanup() {
  cd /
  mountpoint -q "$MNT" && umount "$MNT"
  [ -n "$LOOP" ] && losetup -d "$LOOP"
  rm -rf "$WORK"
}
trap cleanup EXIT
skip() { echo "SKIP: $*"; exit 0; }
fail() { echo "FAIL: $*"; exit 1; }
[ "$(id -u)" = 0 ] || skip "not root"
command -v losetup >/dev/null && command -v mkfs.ext4 >/dev/null || skip "no losetup or mkfs.ext4"
truncate -s 512M "$WORK/fs.img"
LOOP=$(losetup -f --show -b 4096 "$WORK/fs.img" 2>/dev/null) || skip "no loop device"
mkfs.ext4 -q -m 0 -b 4096 "$LOOP" && mkdir "$MNT" && mount "$LOOP" "$MNT" 2>/dev/null || skip "cannot mount"
cd "$MNT"

vmc=$("$AGENT" create-vm "$MNT/vms" m)
disk=$(dirname "$vmc")/d.vhdx
"$AGENT" add-disk "$vmc" d.vhdx --size 48M >/dev/null
head -c $((3 << 20)) /dev/urandom >a.bin
head -c 1536 /dev/urandom >b.bin
"$HVDISK" write "$disk" a.bin --offset $((1 << 20)) >/dev/null
"$HVDISK" write "$disk" b.bin --offset $((40 << 20)) >/dev/null   # 3 sectors: the data file ends off a block
"$AGENT" backup "$vmc" repo >/dev/null
"$HVDISK" read "$disk" p1.raw >/dev/null
"$HVDISK" write "$disk" b.bin --offset $((2 << 20)) >/dev/null
"$AGENT" backup "$vmc" repo >/dev/null
"$HVDISK" read "$disk" p2.raw >/dev/null
"$AGENT" verify repo >/dev/null || fail "verify"
for p in 1 2; do
  "$AGENT" restore repo "$MNT/out" r$p --point $p >/dev/null || fail "restore of point $p"
  "$HVDISK" read "$MNT/out/r$p/d.vhdx" r$p.raw >/dev/null
  cmp -s p$p.raw r$p.raw || fail "point $p restores differently"
done
# The device fills up while a point is written: the backup fails and the
# repository keeps the points it had.
before=$("$AGENT" points repo --json)
free=$(df --output=avail -B1 "$MNT" | tail -1)
fallocate -l $((free - (1 << 20))) filler
got=0
"$AGENT" backup "$vmc" repo --full >/dev/null 2>err.txt || got=$?
[ "$got" = 1 ] || fail "a backup onto a full device exited $got"
grep -q "0x" err.txt || fail "a backup onto a full device gave no error chain"
[ "$("$AGENT" points repo --json)" = "$before" ] || fail "a failed backup changed the points"
[ -z "$(ls -a repo | grep incomplete)" ] || fail "a failed backup left its temporary folder"
"$AGENT" verify repo >/dev/null || fail "verify after a failed backup"
echo "hvagent on a 4096-byte-sector device: all checks passed"
