#!/usr/bin/env bash
# The main job: a machine backed up and brought back through the plug-in.
# Builds the library and hvagent, creates a machine with an IDE disk and a
# SCSI disk of 4096-byte sectors, writes a built-in data set, takes a full
# and an incremental backup around changes of data and settings, restores
# both points into new machines and compares every disk bit for bit with
# what was written at that point. HV_BUILD=DIR uses an existing build.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${HV_BUILD:-}" ]; then
  bash scripts/setup.sh
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  ninja -C build hvagent hvdisk >/dev/null
  HV_BUILD=$PWD/build
fi
agent=$HV_BUILD/bin/hvagent
hvdisk=$HV_BUILD/bin/hvdisk
source scripts/lib/hvagent_common.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
step() { echo; echo "== $*"; }
show() { echo "\$ hvagent $*"; "$agent" "$@"; }
# put_shown DISK FILE OFFSET: put, and say what was written.
put_shown() {
  put "$@"
  echo "wrote $(stat -c %s "$2") bytes of $2 at $3 into $(basename "$1")"
}
compare() {
  if reads_as "$1" "$2"; then
    echo "$(basename "$1") of $3: identical to what was written ($(stat -c %s "$2") bytes)"
  else
    echo "$(basename "$1") of $3: DIFFERS from what was written"
    exit 1
  fi
}

step "A machine with an IDE disk and a SCSI disk of 4096-byte sectors (in $work)"
echo "\$ hvagent create-vm $work/vms demo --memory 256"
vmc=$("$agent" create-vm "$work/vms" demo --memory 256)
echo "$vmc"
show add-disk "$vmc" system.vhdx --size 64M
show add-disk "$vmc" data.vhdx --size 32M --bus scsi --sector-size 4096
dir=$(dirname "$vmc")
truncate -s 64M "$dir/system.vhdx.expected"
truncate -s 32M "$dir/data.vhdx.expected"
show info "$vmc"

step "The data set"
dataset lines.txt 1 400000
dataset more.txt 700000 760000
put_shown "$dir/system.vhdx" lines.txt $((1 << 20))
put_shown "$dir/data.vhdx" more.txt 0
put_shown "$dir/data.vhdx" lines.txt $((24 << 20))
cp "$dir/system.vhdx.expected" system-1.raw
cp "$dir/data.vhdx.expected" data-1.raw

step "Full backup"
show backup "$vmc" repo

step "Changes of data and settings"
head -c 131072 /dev/zero >zeros.bin
dataset late.txt 900000 900500
put_shown "$dir/system.vhdx" zeros.bin $((1 << 20))
put_shown "$dir/system.vhdx" late.txt $((40 << 20))
put_shown "$dir/data.vhdx" late.txt $((8 << 20))
show set "$vmc" Memory $((512 << 20))
echo "memory set to 512 MiB"

step "Incremental backup"
show backup "$vmc" repo

step "Restore both points into new machines"
show restore repo "$work/restored" first --point 1
show restore repo "$work/restored" second
show info "$work/restored/second/second.vmc"

step "Every restored disk against what was written at its point"
compare "$work/restored/first/system.vhdx" system-1.raw "point 1"
compare "$work/restored/first/data.vhdx" data-1.raw "point 1"
compare "$work/restored/second/system.vhdx" "$dir/system.vhdx.expected" "point 2"
compare "$work/restored/second/data.vhdx" "$dir/data.vhdx.expected" "point 2"

step "The repository"
show points repo
show verify repo
echo
echo "repository layout:"
(cd repo && find . -path ./tracker -prune -o -type f -print | sort | sed 's/^/  /')
