#!/usr/bin/env python3
"""Transcodes a BSDIFF40 patch made by Debian's `bsdiff` into a QBDIFF10 patch.

Both formats carry the same three things: control triples (add length, copy length,
seek), the diff bytes that are added to source bytes, and the extra bytes that are
copied as they stand. BSDIFF40 keeps each block bzip2-compressed and writes its numbers
as 8-byte little-endian sign-magnitude values; QBDIFF10 keeps the blocks plain and
writes big-endian u32 add and copy lengths and an i32 seek, after a header that names
the source length, the source's CRC-32/BZIP2 and the destination length.

The CRC here is zlib's (binascii) over bit-reversed bytes, checked at start against a
table-driven model and the block CRC that python's bz2 module writes, so the patches that tests feed to our C++ rest on nothing
of our C++ code.

QBDIFF10 is stricter than BSDIFF40: every add must lie inside the source, and every
seek must land between the source's start and its end. The script refuses a patch
that breaks those bounds instead of writing one that our applier would refuse.

Usage: bsdiff_to_qbdiff.py OLD_FILE BSDIFF40_PATCH QBDIFF10_OUT
"""
import binascii
import bz2
import struct
import sys


def _table():
    table = []
    for i in range(256):
        c = i << 24
        for _ in range(8):
            c = ((c << 1) ^ 0x04C11DB7) if c & 0x80000000 else (c << 1)
        table.append(c & 0xFFFFFFFF)
    return table


_TABLE = _table()


def crc32_bzip2_slow(data: bytes) -> int:
    c = 0xFFFFFFFF
    for b in data:
        c = ((c << 8) & 0xFFFFFFFF) ^ _TABLE[(c >> 24) ^ b]
    return c ^ 0xFFFFFFFF


_REVERSE8 = bytes(int("{:08b}".format(i)[::-1], 2) for i in range(256))


def crc32_bzip2(data: bytes) -> int:
    # The same polynomial, initial value and complement as zlib's CRC, but processed
    # most significant bit first: zlib's CRC of the bit-reversed bytes, reversed.
    r = binascii.crc32(data.translate(_REVERSE8))
    return int("{:032b}".format(r)[::-1], 2)


def _self_check():
    assert crc32_bzip2(b"") == 0 and crc32_bzip2_slow(b"") == 0
    assert crc32_bzip2(b"123456789") == crc32_bzip2_slow(b"123456789") == 0xFC891918
    # A single bzip2 block carries the CRC of its uncompressed bytes at offset 10.
    sample = bytes(range(256)) * 3 + b"tail"
    assert struct.unpack(">I", bz2.compress(sample)[10:14])[0] == crc32_bzip2(sample) == crc32_bzip2_slow(sample)


def offtin(b: bytes) -> int:
    v = int.from_bytes(b[:8], "little")
    magnitude = v & ~(1 << 63)
    return -magnitude if v >> 63 else magnitude


def transcode(old: bytes, patch: bytes) -> bytes:
    if len(patch) < 32 or patch[:8] != b"BSDIFF40":
        raise ValueError("not a BSDIFF40 patch")
    ctrl_len, diff_len, new_size = offtin(patch[8:16]), offtin(patch[16:24]), offtin(patch[24:32])
    if ctrl_len < 0 or diff_len < 0 or new_size < 0 or 32 + ctrl_len + diff_len > len(patch):
        raise ValueError("BSDIFF40 header out of bounds")
    ctrl = bz2.decompress(patch[32:32 + ctrl_len])
    diff = bz2.decompress(patch[32 + ctrl_len:32 + ctrl_len + diff_len])
    extra = bz2.decompress(patch[32 + ctrl_len + diff_len:])
    if len(ctrl) % 24:
        raise ValueError("BSDIFF40 control block is not whole triples")
    if not (0 < len(old) < 2**32 and new_size < 2**32):
        raise ValueError("sizes do not fit QBDIFF10")

    out_ctrl = bytearray()
    old_pos = new_pos = diff_pos = extra_pos = 0
    for i in range(0, len(ctrl), 24):
        add, copy, seek = offtin(ctrl[i:]), offtin(ctrl[i + 8:]), offtin(ctrl[i + 16:])
        if not (0 <= add < 2**32 and 0 <= copy < 2**32 and -2**31 <= seek < 2**31):
            raise ValueError("triple %d does not fit QBDIFF10's fields" % (i // 24))
        if old_pos + add > len(old) or diff_pos + add > len(diff) or extra_pos + copy > len(extra):
            raise ValueError("triple %d reads past a block" % (i // 24))
        old_pos += add + seek
        if not 0 <= old_pos <= len(old):
            raise ValueError("triple %d seeks outside the source" % (i // 24))
        diff_pos += add
        extra_pos += copy
        new_pos += add + copy
        out_ctrl += struct.pack(">IIi", add, copy, seek)
    if new_pos != new_size or diff_pos != len(diff) or extra_pos != len(extra):
        raise ValueError("BSDIFF40 blocks do not add up to the new file")

    header = b"QBDIFF10" + struct.pack(">IIIIII", len(old), crc32_bzip2(old), new_size,
                                       len(out_ctrl), len(diff), len(extra))
    return header + bytes(out_ctrl) + diff + extra


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    _self_check()
    with open(argv[1], "rb") as f:
        old = f.read()
    with open(argv[2], "rb") as f:
        patch = f.read()
    try:
        out = transcode(old, patch)
    except ValueError as e:
        sys.stderr.write("bsdiff_to_qbdiff: %s\n" % e)
        return 1
    with open(argv[3], "wb") as f:
        f.write(out)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
