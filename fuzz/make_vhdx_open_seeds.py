#!/usr/bin/env python3
"""Writes small valid VHDX files as seeds for fuzz_vhdx_open: the regions are
packed right after the first megabyte (where the format wants them) so that
each seed stays near 1 MB."""
import os
import struct
import sys
import uuid

POLY = 0x82F63B78
TABLE = []
for i in range(256):
    c = i
    for _ in range(8):
        c = (c >> 1) ^ POLY if c & 1 else c >> 1
    TABLE.append(c)


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = TABLE[(c ^ b) & 0xFF] ^ (c >> 8)
    return c ^ 0xFFFFFFFF


def guid(text):
    return uuid.UUID(text).bytes_le


def with_crc(image, at):
    image[at:at + 4] = b"\0\0\0\0"
    image[at:at + 4] = struct.pack("<I", crc32c(image))
    return image


LOG_OFF, LOG_LEN = 0x100000, 0x2000
META_OFF, META_LEN = 0x102000, 0x11000
BAT_OFF, BAT_LEN = 0x113000, 0x1000
END = 0x114000


def header(log_guid):
    h = bytearray(4096)
    h[0:4] = b"head"
    h[16:32] = guid("11111111-2222-3333-4444-555555555555")
    h[32:48] = guid("66666666-7777-8888-9999-AAAAAAAAAAAA")
    h[48:64] = log_guid
    struct.pack_into("<HHIQ", h, 64, 0, 1, LOG_LEN, LOG_OFF)
    return with_crc(h, 4)


def region_table():
    t = bytearray(65536)
    t[0:4] = b"regi"
    struct.pack_into("<I", t, 8, 2)
    t[16:32] = guid("8B7CA206-4790-4B9A-B8FE-575F050F886E")
    struct.pack_into("<QII", t, 32, META_OFF, META_LEN, 1)
    t[48:64] = guid("2DC27766-F623-4200-9D64-115E9BFD4A08")
    struct.pack_into("<QII", t, 64, BAT_OFF, BAT_LEN, 1)
    return with_crc(t, 4)


def metadata(extra_items, file_flags=0, logical_sector=512):
    items = [
        ("CAA16737-FA36-4D43-B3B6-33F0AA44E76B", 4, struct.pack("<II", 1 << 20, file_flags)),
        ("2FA54224-CD1B-4876-B211-5DBED83BF4B8", 6, struct.pack("<Q", 8 << 20)),
        ("BECA12AB-B2E6-4523-93EF-C309E000C746", 6, guid("01234567-89AB-CDEF-0123-456789ABCDEF")),
        ("8141BF1D-A96F-4709-BA47-F233A8FAAB5F", 6, struct.pack("<I", logical_sector)),
        ("CDA348C7-445D-4471-9CC9-E9885251C556", 6, struct.pack("<I", 4096)),
    ] + extra_items
    m = bytearray(META_LEN)
    m[0:8] = b"metadata"
    struct.pack_into("<H", m, 10, len(items))
    offset = 0x10000
    for i, (item, flags, value) in enumerate(items):
        e = 32 + 32 * i
        m[e:e + 16] = guid(item)
        struct.pack_into("<III", m, e + 16, offset, len(value), flags)
        m[offset:offset + len(value)] = value
        offset += len(value)
    return m


def parent_locator():
    pairs = [("parent_linkage", "{66666666-7777-8888-9999-AAAAAAAAAAAA}"), ("relative_path", "base.vhdx")]
    head = bytearray(20 + 12 * len(pairs))
    head[0:16] = guid("B04AEFB7-D19E-4A81-B789-25B8E9445913")
    struct.pack_into("<H", head, 18, len(pairs))
    body = bytearray()
    for i, (key, value) in enumerate(pairs):
        k, v = key.encode("utf-16-le"), value.encode("utf-16-le")
        struct.pack_into("<IIHH", head, 20 + 12 * i, len(head) + len(body), len(head) + len(body) + len(k), len(k),
                         len(v))
        body += k + v
    return bytes(head + body)


def log_entry(log_guid, sequence, target, fill):
    e = bytearray(8192)
    e[0:4] = b"loge"
    struct.pack_into("<IIQI", e, 8, 8192, 0, sequence, 2)
    e[32:48] = log_guid
    struct.pack_into("<QQ", e, 48, END, END)
    data = bytes([fill]) * 4096
    struct.pack_into("<4sIQQQ", e, 64, b"desc", 0, 0, target, sequence)
    struct.pack_into("<4sIQQQ", e, 96, b"zero", 0, 4096, target + 4096, sequence)
    e[4096:8192] = data
    e[4096:4100] = b"data"
    struct.pack_into("<I", e, 4100, sequence >> 32)
    struct.pack_into("<I", e, 8188, sequence & 0xFFFFFFFF)
    struct.pack_into("<Q", e, 72, 0)  # leading bytes = first 8 bytes of the sector
    struct.pack_into("<Q", e, 72, struct.unpack_from("<Q", e, 4096)[0])
    struct.pack_into("<I", e, 68, struct.unpack_from("<I", e, 8188)[0])
    return with_crc(e, 4)


def image(log=False, extra=(), file_flags=0, logical_sector=512):
    f = bytearray(END)
    f[0:8] = b"vhdxfile"
    log_guid = guid("0A0B0C0D-1111-2222-3333-444455556666") if log else bytes(16)
    f[0x10000:0x11000] = header(log_guid)
    f[0x20000:0x21000] = header(log_guid)
    f[0x30000:0x40000] = region_table()
    f[0x40000:0x50000] = region_table()
    f[META_OFF:META_OFF + META_LEN] = metadata(list(extra), file_flags, logical_sector)
    if log:
        f[LOG_OFF:LOG_OFF + 8192] = log_entry(log_guid, 3, BAT_OFF, 0)
    return bytes(f)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus", "fuzz_vhdx_open")
    os.makedirs(out, exist_ok=True)
    seeds = {
        "pending_log.vhdx": image(log=True),
        "items.vhdx": image(extra=[("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C", 4, parent_locator()),
                                          ("12345678-9ABC-DEF0-1234-56789ABCDEF0", 1, b"user item")]),
        # HasParent set: the locator is read and checked.
        "differencing.vhdx": image(extra=[("A8D35F2D-B30B-454D-ABF7-D3D84834AB0C", 4, parent_locator())],
                                   file_flags=2),
        "sector_4k_log.vhdx": image(log=True, logical_sector=4096),
    }
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as handle:
            handle.write(data)


if __name__ == "__main__":
    main()
