#!/usr/bin/env bash
# A restore through the plug-in whose data file takes several write
# requests, so that its reader thread runs beside the plug-in's writes; for a
# thread sanitizer build. The restored disk must read as the one backed up.
# Usage: scripts/restore_threads.sh BUILD
set -euo pipefail
build=$(cd "$1" && pwd)
agent=$build/bin/hvagent
hvdisk=$build/bin/hvdisk
export QUILLON_SAFE_ASSERT=quiet HVHOST_TRACE_FILE=/dev/null
work=$(mktemp -d "${TMPDIR:-/tmp}/hvrestore-threads.XXXXXX")
trap 'rm -rf "$work"' EXIT
vmc=$("$agent" create-vm "$work/vms" source)
"$agent" add-disk "$vmc" disk.vhdx --size 128M >/dev/null
disk=$(dirname "$vmc")/disk.vhdx
# 80 MiB in two runs: ten write requests of at most 8 MiB, more than the
# reader keeps buffers for.
head -c $((48 << 20)) /dev/urandom >"$work/a.bin"
head -c $((32 << 20)) /dev/urandom >"$work/b.bin"
"$hvdisk" write "$disk" "$work/a.bin" >/dev/null
"$hvdisk" write "$disk" "$work/b.bin" --offset $((64 << 20)) >/dev/null
"$agent" backup "$vmc" "$work/repo" >/dev/null
"$agent" restore "$work/repo" "$work/restored" copy >/dev/null
"$hvdisk" read "$disk" "$work/source.raw" >/dev/null
"$hvdisk" read "$work/restored/copy/disk.vhdx" "$work/copy.raw" >/dev/null
cmp "$work/source.raw" "$work/copy.raw"
echo "restore with a reader thread: the restored disk reads as the one backed up"
