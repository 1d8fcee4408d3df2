# Shell helpers shared by the main job (scripts/demo.sh) and the hvagent
# command-line test (tests/hvagent_cli.sh). Source it once $hvdisk names the
# hvdisk program; the helpers work in the current folder.

# Assertions only log, and the plug-in's trace lines go to a file, not
# between the steps.
export QUILLON_SAFE_ASSERT=quiet
export HVHOST_TRACE_FILE=${HVHOST_TRACE_FILE:-/dev/null}

# dataset FILE FIRST LAST: a deterministic data set, the numbered lines
# FIRST to LAST padded to whole 4 KiB.
dataset() {
  seq "$2" "$3" >"$1"
  truncate -s $((($(stat -c %s "$1") + 4095) / 4096 * 4096)) "$1"
}

# put DISK FILE OFFSET: writes FILE into DISK through the engine (hvdisk)
# and, with dd, into DISK.expected, an image of what the disk should hold
# made without the engine.
put() {
  "$hvdisk" write "$1" "$2" --offset "$3" >/dev/null
  dd if="$2" of="$1.expected" bs=4096 seek=$(($3 / 4096)) conv=notrunc status=none
}

# reads_as DISK IMAGE: whether DISK reads exactly as IMAGE.
reads_as() {
  "$hvdisk" read "$1" read.raw >/dev/null
  cmp -s read.raw "$2"
}
