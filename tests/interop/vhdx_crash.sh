#!/bin/bash
# Dynamic disks left behind by a writer killed in the middle of large
# unaligned writes (the crash test of the engine) pass qemu-img check and
# read identically through qemu-img and hvdisk.
set -euo pipefail
BUILD=$(cd "${1:?build directory}" && pwd)
command -v qemu-img >/dev/null || { echo "SKIP: qemu-img missing"; exit 0; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

HV_CRASH_KEEP=$WORK "$BUILD/bin/test_core_fdisk" --gtest_filter='Kinds/CrashTest.*/Dynamic' >"$WORK/log" ||
  { cat "$WORK/log"; fail "crash test"; }
count=0
for disk in "$WORK"/crash*.vhdx; do
  [ -e "$disk" ] || fail "no crashed disk was kept"
  qemu-img check -q "$disk" || fail "qemu-img check of $(basename "$disk")"
  qemu-img convert -O raw "$disk" "$WORK/q.raw"
  "$BUILD/bin/hvdisk" read "$disk" "$WORK/h.raw"
  cmp -s "$WORK/q.raw" "$WORK/h.raw" || fail "$(basename "$disk") reads differently through qemu-img"
  count=$((count + 1))
done
echo "OK: $count crashed disks"
