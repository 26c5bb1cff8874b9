#!/usr/bin/python3
"""Writes signed VPK update archives for tests, independently of the updater's reader.

Layout (all integers big-endian): "VPK1", index offset (u32), total size (u64),
signature count (u32), the signature entries (algorithm id u32, length u32, bytes),
the additional-section count (u32) and the sections (size u32 = 8 + payload, id u32,
payload), the item contents, the index (size u32, then per item: content offset u32,
content length u32, flags u32, NUL-terminated name), and optional trailing bytes.

The signed stream is the first 20 bytes, each signature entry's id and length, and every
byte after the signature block. Signatures are RSA PKCS#1 v1.5 with SHA-384 made by
python3 'cryptography'; items are XZ streams made by the `xz` command.

Importable use (run with /usr/bin/python3, Debian's, which has 'cryptography'):

    from vpk_writer import Vpk, Item, Signature, xz, key_path
    data = Vpk(items=[Item("updatev3.manifest", xz(b"add \"a\"\n"))],
               signatures=[Signature(key_path("test_vpk_key1.pem"))]).build()

Every field can be overridden to write malformed archives (see the classes below).

Command line:

    vpk_writer.py OUT [--key PEM]... [--channel C] [--version V]
                  [--item NAME=FILE[:MODE]]... [--xz-args "ARGS"] [--stream-out FILE]

compresses each FILE with `xz ARGS` (default "--check=crc64"), signs with each key in
order and writes the archive to OUT; --stream-out also writes the signed stream, for
checking a signature with `openssl dgst -sha384 -verify`.
"""

import argparse
import os
import shlex
import struct
import subprocess
import sys
import zlib

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding

RSA_PKCS1_SHA384 = 2
KEY_DIR = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "updater"))


def key_path(name):
    """Path of a key or certificate among the committed test fixtures."""
    return os.path.join(KEY_DIR, name)


def xz(data, *args):
    """`data` compressed by the xz command with the given options (e.g. "--check=crc32", "--x86")."""
    r = subprocess.run(["xz", "--format=xz", "--compress", "--stdout", "--threads=1", *args],
                       input=data, stdout=subprocess.PIPE, check=True)
    return r.stdout


def unxz(stream):
    """`stream` decoded by the xz command (first stream only is what the updater reads)."""
    r = subprocess.run(["xz", "--decompress", "--stdout", "--single-stream"], input=stream,
                       stdout=subprocess.PIPE, check=True)
    return r.stdout


def _vli(buf, pos):
    value = 0
    for i in range(9):
        b = buf[pos]
        pos += 1
        value |= (b & 0x7F) << (7 * i)
        if not b & 0x80:
            return value, pos
    raise ValueError("bad VLI")


def set_lzma2_dict_property(stream, prop):
    """The XZ stream with its first block's LZMA2 dictionary property byte replaced and the
    block header CRC32 recomputed, so the header claims another dictionary size."""
    s = bytearray(stream)
    start = 12  # after the stream header
    header_size = (s[start] + 1) * 4
    flags = s[start + 1]
    pos = start + 2
    if flags & 0x40:
        _, pos = _vli(s, pos)
    if flags & 0x80:
        _, pos = _vli(s, pos)
    for _ in range((flags & 0x03) + 1):
        filter_id, pos = _vli(s, pos)
        props_size, pos = _vli(s, pos)
        if filter_id == 0x21:
            s[pos] = prop
        pos += props_size
    crc_at = start + header_size - 4
    s[crc_at:crc_at + 4] = struct.pack("<I", zlib.crc32(bytes(s[start:crc_at])))
    return bytes(s)


def product_info(channel, version):
    """Payload of the product-information section: channel and version, each NUL-terminated."""
    return _b(channel) + b"\0" + _b(version) + b"\0"


def _b(v):
    return v.encode() if isinstance(v, str) else bytes(v)


class Item:
    """One archive item. `data` is placed in the content area (in item order); the index
    entry states `offset`/`length` when given, else where the data was placed."""

    def __init__(self, name, data=b"", flags=0o644, offset=None, length=None):
        self.name = _b(name)
        self.data = bytes(data)
        self.flags = flags
        self.offset = offset
        self.length = length


class Signature:
    """One signature entry. With `key` (a PEM path) the entry's bytes are the signature over
    the signed stream; with `raw` they are those bytes. `length` overrides the stated
    length, `alg` the algorithm id."""

    def __init__(self, key=None, raw=None, alg=RSA_PKCS1_SHA384, length=None):
        self.key = _load_key(key) if key is not None else None
        self.raw = raw
        self.alg = alg
        self.length = length

    def size(self):
        if self.raw is not None:
            return len(self.raw)
        return self.key.key_size // 8


class Section:
    """One additional section; `size` overrides the stated size (8 + payload)."""

    def __init__(self, section_id, payload, size=None):
        self.id = section_id
        self.payload = _b(payload)
        self.size = size


_keys = {}


def _load_key(path):
    # Loading checks the whole RSA key, which takes long: each file is loaded once.
    if path not in _keys:
        with open(path, "rb") as f:
            _keys[path] = serialization.load_pem_private_key(f.read(), password=None)
    return _keys[path]


class Vpk:
    """A VPK archive. Defaults give a well-formed archive with a product-information section
    for channel "release" and version "153.8.0"; every attribute may be changed before build().

    sections=None writes the default product-information section; [] writes no section
    block at all (item contents then follow the signatures). `section_count` overrides the
    stated count, `signature_count` the stated number of signatures, `index_offset`,
    `index_size` and `total_size` the header and index fields, `index_tail` adds bytes at the
    end of the index (counted in its size), `trailer` adds bytes after the index, and
    `between` adds bytes between the sections and the first item's content (or the index).
    `index_first` puts the index before the item contents instead of after them, so that
    the last item's content ends the file."""

    def __init__(self, items=(), signatures=(), channel="release", version="153.8.0", sections=None):
        self.magic = b"VPK1"
        self.items = list(items)
        self.signatures = list(signatures)
        self.sections = [Section(1, product_info(channel, version))] if sections is None else list(sections)
        self.section_count = None
        self.signature_count = None
        self.index_offset = None
        self.index_size = None
        self.total_size = None
        self.index_tail = b""
        self.trailer = b""
        self.between = b""
        self.index_first = False

    def _layout(self, signature_bytes):
        sigs = b""
        for sig, body in zip(self.signatures, signature_bytes):
            length = len(body) if sig.length is None else sig.length
            sigs += struct.pack(">II", sig.alg, length) + body
        sections = b""
        if self.sections or self.section_count is not None:
            count = len(self.sections) if self.section_count is None else self.section_count
            sections = struct.pack(">I", count)
            for sec in self.sections:
                size = 8 + len(sec.payload) if sec.size is None else sec.size
                sections += struct.pack(">II", size, sec.id) + sec.payload
        start = 20 + len(sigs) + len(sections) + len(self.between)
        # The index has the same length wherever it stands, so contents placed after it
        # start one index length later.
        index_length = 4 + sum(12 + len(i.name) + 1 for i in self.items) + len(self.index_tail)
        pos = start + index_length if self.index_first else start
        contents = []
        index = b""
        for item in self.items:
            offset = pos if item.offset is None else item.offset
            length = len(item.data) if item.length is None else item.length
            index += struct.pack(">III", offset, length, item.flags) + item.name + b"\0"
            contents.append(item.data)
            pos += len(item.data)
        index += self.index_tail
        index_offset = (start if self.index_first else pos) if self.index_offset is None else self.index_offset
        index_size = len(index) if self.index_size is None else self.index_size
        index_block = struct.pack(">I", index_size) + index
        if self.index_first:
            body = [sections, self.between, index_block, *contents, self.trailer]
        else:
            body = [sections, self.between, *contents, index_block, self.trailer]
        total = 20 + len(sigs) + sum(len(b) for b in body)
        count = len(self.signatures) if self.signature_count is None else self.signature_count
        header = self.magic + struct.pack(">IQI", index_offset, total if self.total_size is None else self.total_size,
                                          count)
        return b"".join([header, sigs, *body])

    def build(self):
        placeholders = [s.raw if s.raw is not None else bytes(s.size()) for s in self.signatures]
        data = self._layout(placeholders)
        stream = signed_stream(data, len(self.signatures))
        final = [s.raw if s.raw is not None else sign(s.key, stream) for s in self.signatures]
        return self._layout(final)


def sign(key, stream):
    return key.sign(stream, padding.PKCS1v15(), hashes.SHA384())


def signed_stream(data, count=None):
    """The bytes a signature covers: the first 20 bytes, each entry's id and length, and
    everything after the signature block. `count` defaults to the stated count."""
    if count is None:
        count = struct.unpack(">I", data[16:20])[0]
    out = bytearray(data[:20])
    pos = 20
    for _ in range(count):
        length = struct.unpack(">I", data[pos + 4:pos + 8])[0]
        out += data[pos:pos + 8]
        pos += 8 + length
    out += data[pos:]
    return bytes(out)


def _main(argv):
    p = argparse.ArgumentParser(description="Write a signed VPK update archive.")
    p.add_argument("out")
    p.add_argument("--key", action="append", default=[], help="PEM private key; one signature each, in order")
    p.add_argument("--channel", default="release")
    p.add_argument("--version", default="153.8.0")
    p.add_argument("--item", action="append", default=[], help="NAME=FILE or NAME=FILE:MODE (octal)")
    p.add_argument("--xz-args", default="--check=crc64")
    p.add_argument("--stream-out", help="also write the signed stream here")
    a = p.parse_args(argv)
    items = []
    for spec in a.item:
        name, _, rest = spec.partition("=")
        path, mode = rest, 0o644
        if ":" in rest:
            path, _, m = rest.rpartition(":")
            mode = int(m, 8)
        with open(path, "rb") as f:
            items.append(Item(name, xz(f.read(), *shlex.split(a.xz_args)), flags=mode))
    vpk = Vpk(items=items, signatures=[Signature(k) for k in a.key], channel=a.channel, version=a.version)
    data = vpk.build()
    with open(a.out, "wb") as f:
        f.write(data)
    if a.stream_out:
        with open(a.stream_out, "wb") as f:
            f.write(signed_stream(data))
    return 0


if __name__ == "__main__":
    sys.exit(_main(sys.argv[1:]))
