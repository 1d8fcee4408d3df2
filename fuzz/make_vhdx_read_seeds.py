#!/usr/bin/env python3
"""Writes recipe seeds for fuzz_vhdx_read (see the format at the top of
fuzz_vhdx_read.cpp) that reach differencing chains, 4096-byte sectors and a
pending log patched into an engine-made file."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_vhdx_open_seeds import crc32c, guid, log_entry  # noqa: E402

FIXED, REPAIR, WRITABLE, SECTOR_4K, CHAIN = 1, 2, 4, 8, 16
SIZE_16M = 3  # index into the harness's sizes
AREA_HEADER1, AREA_HEADER2, AREA_LOG = 0, 1, 8
ENGINE_BAT = 0x300000
ENGINE_FILE_END = 4 << 20  # an engine-made dynamic file of 16 MiB


def patches(area, offset, data):
    """Patches of at most 255 bytes, skipping runs of zeros (the template's log is zeros)."""
    out = bytearray()
    at = 0
    while at < len(data):
        piece = data[at:at + 255]
        if any(piece):
            out += struct.pack("<BHB", area, offset + at, len(piece)) + piece
        at += 255
    return bytes(out)


def read(first, count, near_end=False):
    return struct.pack("<BIB", 2 if near_end else 0, first, count)


def write(first, count):
    return struct.pack("<BIB", 1, first, count)


def recipe(flags, body, requests):
    return bytes([flags, SIZE_16M]) + body + b"\xff" + b"".join(requests)


def pending_log():
    log_guid = guid("0A0B0C0D-1111-2222-3333-444455556666")
    entry = bytearray(log_entry(log_guid, 3, ENGINE_BAT, 0))
    # The entry ends the file where the engine left it.
    struct.pack_into("<QQ", entry, 48, ENGINE_FILE_END, ENGINE_FILE_END)
    entry[4:8] = b"\0\0\0\0"
    entry[4:8] = struct.pack("<I", crc32c(bytes(entry)))
    # Both headers name the log; the checksums are repaired by the harness.
    body = patches(AREA_HEADER1, 48, log_guid) + patches(AREA_HEADER2, 48, log_guid)
    body += patches(AREA_LOG, 0, bytes(entry))
    return body


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "fuzz_vhdx_read")
    os.makedirs(out, exist_ok=True)
    seeds = {
        "chain_read": recipe(CHAIN, b"", [read(0, 80), read(60, 8, near_end=True)]),
        "chain_write_4k": recipe(CHAIN | WRITABLE | SECTOR_4K, b"", [write(1, 2), read(0, 8), write(2040, 16)]),
        "pending_log_replay": recipe(REPAIR | WRITABLE, pending_log(), [read(0, 8), write(0, 8)]),
        "pending_log_read_only": recipe(REPAIR, pending_log(), [read(0, 8)]),
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as handle:
            handle.write(data)


if __name__ == "__main__":
    main()
