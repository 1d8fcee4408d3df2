#!/usr/bin/env bash
# hvagent through its command line: full and incremental points restored and
# compared bit for bit, a machine from a UTF-16 .vmc, and the faults a
# repository must survive (a changed byte, a point removed from the middle, a
# lost change ID, a backup killed at random moments, a full disk).
set -euo pipefail
build=$1
agent=$build/bin/hvagent
hvdisk=$build/bin/hvdisk
data=$(cd "$(dirname "$0")" && pwd)/data/vmc
source "$(dirname "$0")/../scripts/lib/hvagent_common.sh"
# In a sanitizer build, LeakSanitizer's scan of the dynamic TLS of the
# dlopen'd plug-in crashes with this glibc when a restore exits; skipping TLS
# roots can only add leak reports, never hide one.
export LSAN_OPTIONS=${LSAN_OPTIONS:-use_tls=0}
work=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAILED: $*" >&2; exit 1; }
# Runs the agent and expects exit status $1.
expect() {
  local want=$1; shift
  local got=0
  "$agent" "$@" >out.txt 2>err.txt || got=$?
  [ "$got" = "$want" ] || { cat out.txt err.txt >&2; fail "hvagent $* exited $got, not $want"; }
}
# same DISK EXPECTED: the disk reads exactly as the expected image.
same() { reads_as "$1" "$2" || fail "$1 differs from $2"; }
points() { "$agent" points "$1" --json | grep -c '"point"' || true; }

# --- usage ---------------------------------------------------------------
expect 2 backup only-one-argument
expect 2 add-disk x.vmc d.vhdx
expect 2 frobnicate
expect 1 verify "$work/no-such-repo"

# --- round trip: IDE disk and 4096-byte-sector SCSI disk -------------------
vmc=$("$agent" create-vm "$work/vms" machine --memory 256)
[ -f "$vmc" ] || fail "create-vm printed $vmc"
"$agent" add-disk "$vmc" system.vhdx --size 48M >/dev/null
"$agent" add-disk "$vmc" data --size 24M --bus scsi --sector-size 4096 >/dev/null
dir=$(dirname "$vmc")
sys=$dir/system.vhdx dat=$dir/data.vhdx
truncate -s 48M "$sys.expected"
truncate -s 24M "$dat.expected"
dataset a.bin 1 300000
dataset b.bin 500000 520000
put "$sys" a.bin $((1 << 20))
put "$dat" b.bin 0
put "$dat" a.bin $((20 << 20))
expect 0 info "$vmc" --json
grep -q '"sector_size": 4096' out.txt || fail "info shows no 4096-byte sectors"
grep -q '"bus": "scsi"' out.txt || fail "info shows no SCSI disk"

expect 0 backup "$vmc" repo
grep -q "stored whole" out.txt || fail "the first backup was not whole"
cp "$sys.expected" sys1.raw
cp "$dat.expected" dat1.raw
# Change data (one piece zeroed, one rewritten) and a setting.
head -c 65536 /dev/zero >z.bin
put "$sys" z.bin $((1 << 20))
dataset c.bin 900000 900100
put "$dat" c.bin $((8 << 20))
"$agent" set "$vmc" Memory $((512 << 20))
expect 0 backup "$vmc" repo
grep -q "changed since change ID" out.txt || fail "the second backup was not incremental"
full_stored=$("$agent" points repo --json | grep stored_bytes | head -1 | tr -dc 0-9)
incr_stored=$("$agent" points repo --json | grep stored_bytes | tail -1 | tr -dc 0-9)
[ "$incr_stored" -lt $((full_stored / 4)) ] || fail "the incremental point stored $incr_stored of $full_stored bytes"

expect 0 restore repo "$work/restored" one --point 1
expect 0 restore repo "$work/restored" two
same "$work/restored/one/system.vhdx" sys1.raw
same "$work/restored/one/data.vhdx" dat1.raw
same "$work/restored/two/system.vhdx" "$sys.expected"
same "$work/restored/two/data.vhdx" "$dat.expected"
expect 0 info "$work/restored/two/two.vmc" --json
grep -q '"Memory": "512"' out.txt || fail "the restored machine lost its memory setting"
grep -q '"sector_size": 4096' out.txt || fail "the restored SCSI disk lost its sector size"
expect 0 info "$work/restored/one/one.vmc" --json
grep -q '"Memory": "256"' out.txt || fail "point 1 restored the later memory setting"
expect 0 verify repo
expect 0 points repo --json
grep -q '"kind": "incremental"' out.txt || fail "points --json lacks the incremental point"

# --- a machine read from a UTF-16 .vmc ------------------------------------
mkdir utf16
cp "$data/tabbed_utf16.vmc" utf16/tabbed.vmc
"$hvdisk" create utf16/disk.vhdx 16M >/dev/null
truncate -s 16M utf16/disk.vhdx.expected
put utf16/disk.vhdx b.bin 4096
expect 0 backup utf16/tabbed.vmc repo16
expect 0 restore repo16 "$work/restored" sixteen
same "$work/restored/sixteen/disk.vhdx" utf16/disk.vhdx.expected

# --- a changed byte in a data file: verify and restore refuse, naming it ---
cp -a repo damaged
file=$(ls damaged/point-000002/disk-*.data | head -1)
printf 'X' | dd of="$file" bs=1 seek=100 conv=notrunc status=none
expect 1 verify damaged
grep -q "$file" out.txt || fail "verify did not name $file"
expect 1 restore damaged "$work/restored" bad
grep -q "$file" err.txt || fail "restore did not name $file"
[ ! -e "$work/restored/bad" ] || fail "a refused restore left a machine behind"
[ -z "$(ls -A "$work/restored" | grep restoring)" ] || fail "a refused restore left its hidden folder"
# A restore makes a new machine; it does not write into an existing one.
expect 1 restore repo "$work/restored" two
same "$work/restored/two/system.vhdx" "$sys.expected"

# --- a point folder removed from the middle --------------------------------
"$hvdisk" write "$sys" c.bin --offset $((2 << 20)) >/dev/null
dd if=c.bin of="$sys.expected" bs=4096 seek=512 conv=notrunc status=none
expect 0 backup "$vmc" repo
cp -a repo gap
gone=$(grep -m1 '"change_id"' gap/point-000002/manifest.json | tr -dc 0-9)
rm -rf gap/point-000002
[ "$(points gap)" = 2 ] || fail "points does not list the two points left"
expect 1 verify gap
grep -q "point 2" out.txt || fail "verify does not name the missing point"
expect 1 restore gap "$work/restored" gap3 --point 3
expect 0 restore gap "$work/restored" gap1 --point 1
same "$work/restored/gap1/system.vhdx" sys1.raw
expect 0 backup "$vmc" gap
grep -q "stored whole: point 3 cannot be restored" out.txt || fail "a backup over a broken chain was not whole"
[ ! -e "gap/tracker/change-$gone.snap" ] || fail "the snapshot of removed point 2 outlived the next backup"

# --- a tracker that lost its change ID: that disk is stored whole -----------
rm repo/tracker/change-3.snap
put "$dat" z.bin $((20 << 20))
expect 0 backup "$vmc" repo
grep -q "no longer knows change ID 3" out.txt || fail "a lost change ID was not reported"
expect 0 restore repo "$work/restored" lost
same "$work/restored/lost/data.vhdx" "$dat.expected"

# --- a differencing disk over parents the tracker did not follow -----------
# make_child CHILD PARENT: turns CHILD, a new disk as the engine makes it,
# into a differencing disk of PARENT (a file beside it) by editing its
# metadata region in place (the engine refuses to set these items itself).
u16hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | sed 's/../&00/g'; }
le() { local v=$1 n=$2 out="" i; for ((i = 0; i < n; i++)); do out+=$(printf '%02x' $(((v >> (8 * i)) & 255))); done; echo "$out"; }
num() { od -An -tu$2 -j "$1" -N "$2" "$3" | tr -d ' '; }
hexat() { od -An -tx1 -j "$1" -N "$2" "$3" | tr -d ' \n'; }
poke() { printf "$(sed 's/../\\x&/g' <<<"$2")" | dd of="$3" bs=1 seek="$1" conv=notrunc status=none; }
make_child() {
  local child=$1 parent=$2 region="" i entry count guid key1 val1 key2 val2 at entries strings value
  for i in 0 1; do
    entry=$((0x30000 + 16 + 32 * i))
    [ "$(hexat $entry 16 "$child")" = 06a27c8b90479a4bb8fe575f050f886e ] && region=$(num $((entry + 16)) 8 "$child")
  done
  count=$(num $((region + 10)) 2 "$child")
  for ((i = 0; i < count; i++)); do
    entry=$((region + 32 + 32 * i))
    if [ "$(hexat $entry 16 "$child")" = 3767a1ca36fa434db3b633f0aa44e76b ]; then
      poke $((region + $(num $((entry + 16)) 4 "$child") + 4)) 02000000 "$child"  # HasParent
    fi
  done
  guid=$("$hvdisk" info "$parent" | sed -n 's/^data write guid: *//p')
  key1=$(u16hex parent_linkage) val1=$(u16hex "{$guid}") key2=$(u16hex relative_path) val2=$(u16hex "$(basename "$parent")")
  at=44 entries="" strings=""
  for part in "$key1 $val1" "$key2 $val2"; do
    set -- $part
    entries+=$(le $at 4)$(le $((at + ${#1} / 2)) 4)$(le $((${#1} / 2)) 2)$(le $((${#2} / 2)) 2)
    strings+=$1$2
    at=$((at + (${#1} + ${#2}) / 2))
  done
  value=b7ef4ab09ed1814ab78925b8e94459130000$(le 2 2)$entries$strings
  poke $((region + (512 << 10))) "$value" "$child"
  poke $((region + 32 + 32 * count)) 2d5fd3a80bb34d45abf7d3d84834ab0c$(le $((512 << 10)) 4)$(le $at 4)$(le 4 4)00000000 "$child"
  poke $((region + 10)) "$(le $((count + 1)) 2)" "$child"
}
# A chain of three files: base <- mid <- child, each holding data of its own.
mkdir diff
vmd=$("$agent" create-vm "$work/diff" chained)
chain=$work/diff/chained
truncate -s 16M "$chain/child.vhdx.expected"
# layer FILE DATA OFFSET: writes DATA into one file of the chain and into
# the image of what the child reads. A parent takes no writes once a child
# links to it (its data write GUID would change).
layer() {
  "$hvdisk" write "$1" "$2" --offset "$3" >/dev/null
  dd if="$2" of="$chain/child.vhdx.expected" bs=4096 seek=$(($3 / 4096)) conv=notrunc status=none
}
for f in base mid child; do "$hvdisk" create "$chain/$f.vhdx" 16M >/dev/null; done
layer "$chain/base.vhdx" b.bin 0
make_child "$chain/mid.vhdx" "$chain/base.vhdx"
layer "$chain/mid.vhdx" c.bin $((4 << 20))
layer "$chain/mid.vhdx" a.bin $(((4 << 20) + (64 << 10)))
make_child "$chain/child.vhdx" "$chain/mid.vhdx"
layer "$chain/child.vhdx" c.bin $((12 << 20))
expect 0 attach-disk "$vmd" "$chain/child.vhdx"
expect 0 backup "$vmd" repodiff
grep -q "follows $chain/mid.vhdx" out.txt || fail "the first backup did not track the middle of the chain"
grep -q "follows $chain/base.vhdx" out.txt || fail "the first backup did not track the base of the chain"
# The point's change ID covers the whole chain: the snapshot knows all three.
id=$(grep -m1 '"change_id"' repodiff/point-000001/manifest.json | tr -dc 0-9)
for f in base mid child; do
  grep -q "$chain/$f.vhdx" "repodiff/tracker/change-$id.snap" || fail "change ID $id does not cover $f.vhdx"
done
cp "$chain/child.vhdx.expected" diff1.raw
# One sector rewritten over the child's data, one page in a block no file
# of the chain held and one over the middle file's data, in a block the
# child allocates for it (the rest of that block still reads from the
# middle file): the increment holds exactly those.
head -c 512 /dev/urandom >s.bin
layer "$chain/child.vhdx" s.bin $((12 << 20))
head -c 4096 /dev/urandom >p.bin
layer "$chain/child.vhdx" p.bin $((8 << 20))
layer "$chain/child.vhdx" p.bin $(((4 << 20) + (8 << 10)))
expect 0 backup "$vmd" repodiff
grep -q "changed since change ID $id" out.txt || fail "the second backup of a differencing disk was not incremental"
stored=$("$agent" points repodiff --json | grep stored_bytes | tail -1 | tr -dc 0-9)
[ "$stored" -ge 8704 ] && [ "$stored" -le $((8704 + 8192)) ] ||
  fail "the increment of a differencing disk stored $stored bytes for 8704 changed"
expect 0 restore repodiff "$work/restored" chained1 --point 1
expect 0 restore repodiff "$work/restored" chained2
same "$work/restored/chained1/child.vhdx" diff1.raw
same "$work/restored/chained2/child.vhdx" "$chain/child.vhdx.expected"

# --- a backup killed with SIGKILL at random moments -------------------------
before=$(points repo)
for delay in 0.01 0.05 0.1 0.2 0.3; do
  put "$sys" c.bin $(((RANDOM % 40 + 4) << 20))
  "$agent" backup "$vmc" repo >/dev/null 2>&1 &
  pid=$!
  sleep "$delay"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  now=$(points repo)
  # Either the point was complete before the kill or it is not there at all.
  [ "$now" = "$before" ] || [ "$now" = $((before + 1)) ] || fail "a killed backup left $now points after $before"
  expect 0 verify repo
  before=$now
done
expect 0 backup "$vmc" repo
[ "$(ls -a repo | grep -c incomplete)" = 0 ] || fail "a temporary folder outlived the next backup"
# The killed runs' change IDs are forgotten: every snapshot left is one a point uses.
used=$(cat repo/point-*/manifest.json | grep '"change_id"' | tr -dc '0-9\n' | sort -u)
kept=$(ls repo/tracker | sed -n 's/^change-\([0-9]*\)\.snap$/\1/p' | sort -u)
[ "$(comm -13 <(echo "$used") <(echo "$kept"))" = "" ] || fail "the tracker keeps unused snapshots: $kept"
[ "$(echo "$kept" | wc -l)" -ge 2 ] || fail "the tracker lost the snapshots the points use"
[ -z "$(ls repo/tracker | grep '\.tmp$')" ] || fail "the tracker keeps half-written files"
expect 0 restore repo "$work/restored" afterkill
same "$work/restored/afterkill/system.vhdx" "$sys.expected"
same "$work/restored/afterkill/data.vhdx" "$dat.expected"

# --- a full disk while writing a point: the repository is unchanged ---------
put "$sys" a.bin $((30 << 20))
snapshot() { (cd repo && find . -path ./tracker -prune -o -type f -print | sort | xargs sha256sum); }
snapshot >before.txt
got=0
(ulimit -f 64; "$agent" backup "$vmc" repo --full) >out.txt 2>err.txt || got=$?
[ "$got" = 1 ] || fail "a backup past the file size limit exited $got"
snapshot >after.txt
cmp -s before.txt after.txt || fail "a failed backup changed the repository"
[ "$(ls -a repo | grep -c incomplete)" = 0 ] || fail "a failed backup left its temporary folder"
expect 0 verify repo
echo "hvagent command line: all checks passed"
