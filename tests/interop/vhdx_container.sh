#!/usr/bin/env bash
# Containers made by hvdisk are accepted by qemu-img and vhdiinfo; hvdisk
# reads the parameters of containers that qemu-img makes, without changing them.
set -euo pipefail
build=$(cd "$1" && pwd)
hvdisk=$build/bin/hvdisk
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
json_field() { python3 -c 'import json,sys; print(json.load(sys.stdin)[sys.argv[1]])' "$1"; }

# --- files we create --------------------------------------------------------
for disk in "10G dynamic" "100M dynamic" "6M fixed" "1T dynamic" "130M fixed"; do
  set -- $disk
  file=$1-$2.vhdx
  flag=""; [ "$2" = fixed ] && flag=--fixed
  "$hvdisk" create "$file" "$1" $flag >/dev/null
  qemu-img check -q "$file" || fail "qemu-img check $file"
  bytes=$("$hvdisk" info "$file" --json | json_field virtual_size)
  qemu_bytes=$(qemu-img info --output=json "$file" | json_field virtual-size)
  [ "$bytes" = "$qemu_bytes" ] || fail "$file: qemu-img reports $qemu_bytes, hvdisk $bytes"
  vhdi_bytes=$(vhdiinfo "$file" | sed -n 's/.*Media size.*(\([0-9]*\) bytes).*/\1/p')
  [ "$vhdi_bytes" = "$bytes" ] || fail "$file: vhdiinfo reports '$vhdi_bytes', expected $bytes"
  kind=$("$hvdisk" info "$file" --json | json_field kind)
  [ "$kind" = "$2" ] || fail "$file: kind $kind"
done

# A fixed disk reads back as zeros through qemu.
qemu-img convert -O raw 6M-fixed.vhdx fixed.raw
cmp fixed.raw <(head -c $((6 << 20)) /dev/zero) || fail "fixed disk content"

# User metadata survives and keeps the file valid.
"$hvdisk" meta set 100M-dynamic.vhdx 12345678-9ABC-DEF0-1234-56789ABCDEF0 "backup label" >/dev/null
qemu-img check -q 100M-dynamic.vhdx || fail "check after meta set"
[ "$("$hvdisk" meta get 100M-dynamic.vhdx 12345678-9ABC-DEF0-1234-56789ABCDEF0 --raw)" = "backup label" ] ||
  fail "meta get"
"$hvdisk" meta remove 100M-dynamic.vhdx 12345678-9ABC-DEF0-1234-56789ABCDEF0 >/dev/null
if "$hvdisk" meta get 100M-dynamic.vhdx 12345678-9ABC-DEF0-1234-56789ABCDEF0 2>/dev/null; then fail "removed item"; fi
qemu-img check -q 100M-dynamic.vhdx || fail "check after meta remove"

# --- files qemu-img creates ----------------------------------------------------
# The first 16 MB hold every structure hvdisk reads; size and modification time
# cover the rest.
fingerprint() { stat -c '%s %y' "$1"; head -c $((16 << 20)) "$1" | sha256sum; }
for block in 1 8 32 256; do
  for sub in dynamic fixed; do
    for log in 1 4; do
      file=q-$block-$sub-$log.vhdx
      qemu-img create -q -f vhdx -o block_size=${block}M,log_size=${log}M,subformat=$sub "$file" 40M
      before=$(fingerprint "$file")
      "$hvdisk" info "$file" --json >ours.json || fail "hvdisk info $file"
      [ "$(fingerprint "$file")" = "$before" ] || fail "$file changed by hvdisk info"
      qemu-img info --output=json "$file" >theirs.json
      python3 - "$file" $((block << 20)) "$sub" <<'PY' || fail "hvdisk and qemu-img disagree on $file"
import json, sys
ours, theirs = json.load(open("ours.json")), json.load(open("theirs.json"))
name, block, kind = sys.argv[1], int(sys.argv[2]), sys.argv[3]
checks = [("virtual size", ours["virtual_size"], theirs["virtual-size"]),
          ("block size", ours["block_size"], block),
          ("cluster size", ours["block_size"], theirs.get("cluster-size", block)),
          ("kind", ours["kind"], kind),
          ("log", ours["log_replayed"], False),
          ("sector size", ours["logical_sector_size"], 512)]
bad = [c for c in checks if c[1] != c[2]]
for what, got, want in bad:
    print(f"{name}: {what}: hvdisk {got}, expected {want}", file=sys.stderr)
sys.exit(1 if bad else 0)
PY
    done
  done
done

# --- failures are reported with their chain -----------------------------------
head -c 1048576 /dev/urandom >junk.vhdx
if "$hvdisk" info junk.vhdx 2>err.txt; then fail "junk accepted"; fi
grep -q "^0x3C0003 Unknown format of the virtual disk." err.txt || fail "error chain: $(cat err.txt)"
if "$hvdisk" create 100M-dynamic.vhdx 1G 2>/dev/null; then fail "create over an existing file"; fi
echo "vhdx container interop: ok"
