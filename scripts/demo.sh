#!/usr/bin/env bash
# The main job: builds the library, runs the demonstration host (the agent's
# view of the plug-in), then walks a VHDX disk through a backup cycle with
# hvdisk on built-in data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build hvdemo hvdisk >/dev/null
hvdisk=$PWD/build/bin/hvdisk

echo "== The plug-in as the agent sees it"
QUILLON_SAFE_ASSERT=quiet ./build/bin/hvdemo

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
pattern() { head -c "$1" /dev/zero | tr '\0' "$2"; }

echo
echo "== A dynamic disk through a backup cycle (in $work)"
"$hvdisk" create disk.vhdx 256M
pattern $((3 * 1024 * 1024)) 'A' > first.raw
"$hvdisk" write disk.vhdx first.raw --offset $((1024 * 1024))
echo "wrote 3 MiB of 'A' at 1 MiB"
id=$("$hvdisk" track disk.vhdx --tracker tracker)
echo "recorded change ID: $id"
pattern 65536 'B' > second.raw
"$hvdisk" write disk.vhdx second.raw --offset $((100 * 1024 * 1024))
"$hvdisk" write disk.vhdx second.raw --offset $((2 * 1024 * 1024))
echo "wrote 64 KiB of 'B' at 100 MiB and at 2 MiB"
echo "sectors changed since $id (start length; the tracker keeps the table whole, so only the"
echo "blocks written count, not the empty blocks whose table entries lie beside theirs):"
"$hvdisk" changes disk.vhdx --since "$id" --tracker tracker
echo "every allocated sector (change ID \"*\"):"
"$hvdisk" changes disk.vhdx --since '*'

# The expected image, built independently of the engine.
truncate -s 256M expected.raw
dd if=first.raw of=expected.raw bs=1M seek=1 conv=notrunc status=none
dd if=second.raw of=expected.raw bs=64K seek=1600 conv=notrunc status=none
dd if=second.raw of=expected.raw bs=64K seek=32 conv=notrunc status=none
"$hvdisk" read disk.vhdx back.raw
cmp back.raw expected.raw && echo "read back all 256 MiB: identical to what was written"
"$hvdisk" check disk.vhdx && echo "structure check passed"
echo
"$hvdisk" info disk.vhdx
