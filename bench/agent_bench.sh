#!/usr/bin/env bash
# hvagent against qemu-img on the same disk in the same run, side by side:
#  1. a full backup of a SIZE disk with a quarter of it allocated, against
#     `qemu-img convert -O raw` of that disk, alone and followed by `sync -f`
#     of its output; hvagent's resident memory;
#  2. incremental backups, each after 1% of the sectors changed: the time
#     beyond the tracker's own snapshot, against the full backup's, and the
#     bytes stored against the bytes changed;
#  3. a restore of the full point, against `qemu-img convert -O vhdx` writing
#     the same data, reading its source from the device as the restore does,
#     from the cache, and followed by `sync -f` of its output.
# Usage: bench/agent_bench.sh [BUILD] [SIZE_GIB]   (default build, 16)
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
gib=${2:-16}
agent=$build/bin/hvagent
hvdisk=$build/bin/hvdisk
export QUILLON_SAFE_ASSERT=quiet
# The plug-in's trace lines go to a file, not between the figures.
export HVHOST_TRACE_FILE=${HVHOST_TRACE_FILE:-/dev/null}
work=$(mktemp -d "${TMPDIR:-/var/tmp}/hvagent-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

# seconds COMMAND...: wall time of one run; max resident KiB in rss.txt.
seconds() {
  /usr/bin/time -f "%e %M" -o time.txt "$@" >/dev/null 2>&1
  read -r t m <time.txt
  echo "$m" >rss.txt
  echo "$t"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

vmc=$("$agent" create-vm "$work/vms" bench)
"$agent" add-disk "$vmc" disk.vhdx --size "${gib}G" >/dev/null
disk=$(dirname "$vmc")/disk.vhdx
# A quarter allocated: 64 MiB of incompressible data in every 256 MiB.
head -c $((64 << 20)) /dev/urandom >piece.bin
pieces=$((gib * 4))
for ((i = 0; i < pieces; i++)); do
  "$hvdisk" write "$disk" piece.bin --offset $((i * (256 << 20) + (i % 7) * (1 << 20))) >/dev/null
done
echo "disk: ${gib} GiB, $((pieces * 64)) MiB allocated, file $(du -m "$disk" | cut -f1) MiB"
sync

# 1. Full backups and qemu-img convert -O raw, alternating; the best of two
# each. A backup ends durable, so the peer is also timed followed by
# `sync -f` of its output.
best() { awk 'BEGIN { m = 1e9 } { if ($1 < m) m = $1 } END { print m }'; }
: >agent.txt; : >qemu.txt; : >qemu_sync.txt; : >rss_all.txt
for run in 1 2; do
  rm -rf repo out.raw
  seconds nice -n 19 "$agent" backup "$vmc" repo >>agent.txt
  cat rss.txt >>rss_all.txt
  seconds nice -n 19 qemu-img convert -O raw "$disk" out.raw >>qemu.txt
  rm -f out.raw
  seconds nice -n 19 sh -c "qemu-img convert -O raw '$disk' out.raw && sync -f out.raw" >>qemu_sync.txt
done
full=$(best <agent.txt)
qemu=$(best <qemu.txt)
qemu_sync=$(best <qemu_sync.txt)
rss=$(sort -n rss_all.txt | tail -1)
echo "full backup: hvagent ${full}s, qemu-img convert -O raw ${qemu}s, the same then sync -f ${qemu_sync}s;" \
     "throughput ratio $(ratio "$qemu" "$full")x, against the durable peer $(ratio "$qemu_sync" "$full")x;" \
     "hvagent peak RSS $((rss / 1024)) MiB"

# 2. Three rounds of 1% of the sectors changed, inside the allocated data,
# and an incremental backup, each followed by one snapshot of the disk file
# taken alone (the tracker's own part). The round with the least time
# beyond the snapshot counts, as the best of two does above.
changed=$((gib * 1024 / 100))  # MiB, written as 1 MiB pieces
head -c $((1 << 20)) /dev/urandom >one.bin
: >rounds.txt
for round in 1 2 3; do
  for ((i = 0; i < changed; i++)); do
    p=$((RANDOM % pieces))
    "$hvdisk" write "$disk" one.bin --offset $((p * (256 << 20) + (i % 60) * (1 << 20))) >/dev/null
  done
  sync
  sleep 1
  # The first read of the file after the writes is the slower one (about
  # 0.05 s here), whichever program makes it: an untimed snapshot goes
  # first, so that the backup's snapshot and the one timed alone both
  # read the file as it then stands in the cache.
  "$hvdisk" track "$disk" --tracker "$work/warm-up" >/dev/null
  incr=$(seconds nice -n 19 "$agent" backup "$vmc" repo)
  stored=$("$agent" points repo --json | grep stored_bytes | tail -1 | tr -dc 0-9)
  snap=$(seconds nice -n 19 "$hvdisk" track "$disk" --tracker "$work/snapshot-only")
  echo "$incr $snap $stored" >>rounds.txt
done
beyond_all=$(awk -v f="$full" '{ d = $1 - $2; if (d < 0) d = 0; printf "%s%.2f", (NR > 1 ? ", " : ""), d / f }' rounds.txt)
read -r incr snap stored < <(awk '{ d = $1 - $2; if (NR == 1 || d < best) { best = d; line = $0 } } END { print line }' rounds.txt)
beyond=$(awk -v i="$incr" -v s="$snap" 'BEGIN { d = i - s; if (d < 0) d = 0; print d }')
echo "incremental backup: ${incr}s, of which the tracker's snapshot ${snap}s; beyond it" \
     "$(ratio "$beyond" "$full") of the full backup's time (rounds: $beyond_all);" \
     "stored $((stored >> 20)) MiB for ${changed} MiB changed ($(ratio "$stored" $((changed << 20)))x)"

# 3. Restore of the full point against qemu-img convert -O vhdx writing the
# same data. hvagent writes and reads a point's data files past the page
# cache, so its restore reads them from the device; the peer is timed
# reading its raw file from the device too (dropped from the cache first),
# and, for comparison, from the cache; and followed by `sync -f` of its
# output (a peer whose data is durable when it ends, as a restored
# machine's is).
uncache() { dd if="$1" iflag=nocache count=0 status=none; }
: >agent.txt; : >qemu.txt; : >qemu_warm.txt; : >qemu_sync.txt
for run in 1 2; do
  rm -rf restored new.vhdx
  seconds nice -n 19 "$agent" restore repo "$work/restored" r --point 1 >>agent.txt
  rm -f new.vhdx
  uncache out.raw
  seconds nice -n 19 qemu-img convert -O vhdx out.raw new.vhdx >>qemu.txt
  rm -f new.vhdx
  seconds nice -n 19 qemu-img convert -O vhdx out.raw new.vhdx >>qemu_warm.txt
  rm -f new.vhdx
  uncache out.raw
  seconds nice -n 19 sh -c 'qemu-img convert -O vhdx out.raw new.vhdx && sync -f new.vhdx' >>qemu_sync.txt
done
restore=$(best <agent.txt)
qemu=$(best <qemu.txt)
qemu_warm=$(best <qemu_warm.txt)
qemu_sync=$(best <qemu_sync.txt)
echo "restore: hvagent ${restore}s; qemu-img convert -O vhdx ${qemu}s, its source cached ${qemu_warm}s," \
     "followed by sync -f ${qemu_sync}s; throughput ratio $(ratio "$qemu" "$restore")x," \
     "against the peer reading from the cache $(ratio "$qemu_warm" "$restore")x," \
     "against the durable peer $(ratio "$qemu_sync" "$restore")x"
# The share of one more restore spent in its final flush (the wait for the
# device that the page-cache peer leaves out), timed by strace on fsync only.
if command -v strace >/dev/null; then
  rm -rf restored
  t=$(seconds nice -n 19 strace -f --seccomp-bpf -e trace=fsync -T -o fsync.txt \
    "$agent" restore repo "$work/restored" r --point 1)
  flush=$(sed -n 's/.*<\([0-9.]*\)>$/\1/p' fsync.txt | awk '{ s += $1 } END { printf "%.2f", s }')
  echo "restore under strace: ${t}s, of which fsync ${flush}s ($(ratio "$flush" "$t") of it)"
fi
