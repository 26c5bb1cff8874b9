"""Writer of kestor patches for tests, written from the patch format tables alone.

Import it (sys.path.insert(0, "<repo>/tests/support"); import kestor_patch) or run it as a
program (see main() at the bottom). It knows nothing of the C++ engine: a patch it writes and
the image it computes from an edit script are an independent reference for the engine's
reader and applier.

Format summary (all integers little-endian):
  header      "Kest", major u16 (2), minor u16, old size u32, old CRC-32 u32,
              new size u32, new CRC-32 u32
  count       element count u32
  element     old offset, old length, new offset, new length u32, type (4 chars), version u16;
              sized buffers (u32 count + bytes): equivalence source skips (VarInt),
              destination skips (VarUInt), copy counts (VarUInt), extra data, raw-delta skips
              (VarUInt), raw-delta diffs (bytes), reference deltas (VarInt);
              pool count u32, then per pool: tag u8 and a sized buffer of extra targets (VarUInt)
"""

import random
import struct
import zlib

ELEMENT_VERSIONS = {
    "NoOp": 1, "Ex86": 1, "Ex64": 1, "EA32": 1, "EA64": 1, "Px86": 1, "Px64": 1,
    "XTF ": 0xFFFF, "DEX ": 0xFFFF,
}


def varuint(value):
    """VarUInt: 7-bit groups, least significant first, bit 7 = more bytes follow."""
    if not 0 <= value < 1 << 32:
        raise ValueError("VarUInt out of range: %d" % value)
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def varint(value):
    """VarInt: the signed value zig-zagged into a VarUInt (0, -1, 1, -2, 2 -> 0, 1, 2, 3, 4)."""
    if not -(1 << 31) <= value < 1 << 31:
        raise ValueError("VarInt out of range: %d" % value)
    return varuint(((value << 1) ^ (value >> 31)) & 0xFFFFFFFF)


def sized(data):
    return struct.pack("<I", len(data)) + bytes(data)


def crc32(data):
    return zlib.crc32(data) & 0xFFFFFFFF


def encode_equivalences(equivalences):
    """(source skips, destination skips, copy counts) of (source, destination, length) triples
    in patch order. Sources move relative to the previous source end, destinations forwards."""
    src, dst, count = bytearray(), bytearray(), bytearray()
    src_end = dst_end = 0
    for source, destination, length in equivalences:
        src += varint(source - src_end)
        dst += varuint(destination - dst_end)
        count += varuint(length)
        src_end, dst_end = source + length, destination + length
    return bytes(src), bytes(dst), bytes(count)


def encode_raw_delta(units):
    """(skips, diffs) of (copy offset, diff) pairs with strictly increasing copy offsets."""
    skips, diffs = bytearray(), bytearray()
    base = 0
    for copy_offset, diff in units:
        skips += varuint(copy_offset - base)
        diffs.append(diff & 0xFF)
        base = copy_offset + 1
    return bytes(skips), bytes(diffs)


def encode_extra_targets(targets):
    out = bytearray()
    base = 0
    for target in targets:
        out += varuint(target - base)
        base = target + 1
    return bytes(out)


class Element:
    """One element. Streams are given as values; any buffer can instead be given as raw bytes
    through `raw` (keys: src_skip, dst_skip, copy_count, extra_data, raw_delta_skip,
    raw_delta_diff, reference_delta) to write malformed patches. `pools` is a list of
    (tag, targets list or raw bytes) in file order; `pool_count` overrides the count."""

    def __init__(self, old_offset, old_length, new_offset, new_length, exe_type="NoOp", version=None,
                 equivalences=(), extra_data=b"", raw_delta=(), reference_deltas=(), pools=(),
                 raw=None, pool_count=None):
        self.old_offset, self.old_length = old_offset, old_length
        self.new_offset, self.new_length = new_offset, new_length
        self.exe_type = exe_type
        self.version = ELEMENT_VERSIONS.get(exe_type, 1) if version is None else version
        self.equivalences = list(equivalences)
        self.extra_data = bytes(extra_data)
        self.raw_delta = list(raw_delta)
        self.reference_deltas = list(reference_deltas)
        self.pools = list(pools)
        self.raw = dict(raw or {})
        self.pool_count = pool_count

    def buffers(self):
        src, dst, count = encode_equivalences(self.equivalences)
        skips, diffs = encode_raw_delta(self.raw_delta)
        refs = b"".join(varint(d) for d in self.reference_deltas)
        values = {"src_skip": src, "dst_skip": dst, "copy_count": count, "extra_data": self.extra_data,
                  "raw_delta_skip": skips, "raw_delta_diff": diffs, "reference_delta": refs}
        values.update(self.raw)
        order = ["src_skip", "dst_skip", "copy_count", "extra_data", "raw_delta_skip", "raw_delta_diff",
                 "reference_delta"]
        return [(name, values[name]) for name in order]


class Writer:
    """Appends bytes and records the layout: (kind, start, end) for every field, with kinds
    header, element_count, element_match, buffer_size, buffer_content, pool_count, pool_tag."""

    def __init__(self):
        self.data = bytearray()
        self.layout = []

    def put(self, kind, data):
        start = len(self.data)
        self.data += data
        self.layout.append((kind, start, len(self.data)))

    def put_sized(self, data):
        self.put("buffer_size", struct.pack("<I", len(data)))
        self.put("buffer_content", data)


def write_element(w, e):
    w.put("element_match", struct.pack("<IIIII", e.old_offset, e.old_length, e.new_offset, e.new_length,
                                       struct.unpack("<I", e.exe_type.encode("latin-1"))[0])
          + struct.pack("<H", e.version))
    for _, data in e.buffers():
        w.put_sized(data)
    w.put("pool_count", struct.pack("<I", len(e.pools) if e.pool_count is None else e.pool_count))
    for tag, targets in e.pools:
        w.put("pool_tag", bytes([tag]))
        w.put_sized(targets if isinstance(targets, (bytes, bytearray)) else encode_extra_targets(targets))


def encode_patch(elements, old_size, new_size, old_crc=0, new_crc=0, magic=b"Kest", major=2, minor=0,
                 element_count=None, trailing=b""):
    """The patch bytes and their layout."""
    w = Writer()
    w.put("header", magic + struct.pack("<HHIIII", major, minor, old_size, old_crc, new_size, new_crc))
    w.put("element_count", struct.pack("<I", len(elements) if element_count is None else element_count))
    for e in elements:
        write_element(w, e)
    if trailing:
        w.put("trailing", trailing)
    return bytes(w.data), w.layout


def patch_for(old, new, elements):
    """A valid patch turning old into new through the elements, with sizes and CRCs."""
    data, _ = encode_patch(elements, len(old), len(new), crc32(old), crc32(new))
    return data


# --- Edit scripts -------------------------------------------------------------------------
#
# The new image is a list of segments: ("copy", old offset, length, {index: new byte}) or
# ("lit", bytes). Edits work on that list; the new image and the patch both come from it.


def _materialize(old, segments):
    out = bytearray()
    for seg in segments:
        if seg[0] == "copy":
            _, off, length, changes = seg
            start = len(out)
            out += old[off:off + length]
            for i, b in changes.items():
                out[start + i] = b
        else:
            out += seg[1]
    return bytes(out)


def _split(seg, at):
    """Two segments: the first `at` bytes of seg and the rest."""
    if seg[0] == "copy":
        _, off, length, changes = seg
        left = {i: b for i, b in changes.items() if i < at}
        right = {i - at: b for i, b in changes.items() if i >= at}
        return ("copy", off, at, left), ("copy", off + at, length - at, right)
    return ("lit", seg[1][:at]), ("lit", seg[1][at:])


def _seg_len(seg):
    return seg[2] if seg[0] == "copy" else len(seg[1])


def _cut(segments, pos):
    """Splits the segment list at new-image position pos; returns the index of the first
    segment at or after pos."""
    p = 0
    for i, seg in enumerate(segments):
        n = _seg_len(seg)
        if pos == p:
            return i
        if pos < p + n:
            a, b = _split(seg, pos - p)
            segments[i:i + 1] = [a, b]
            return i + 1
        p += n
    return len(segments)


def _total(segments):
    return sum(_seg_len(s) for s in segments)


def random_edit_script(rng, old, edits):
    """Applies `edits` random changes, inserts, deletes and moves to old; returns segments."""
    segments = [("copy", 0, len(old), {})]
    for _ in range(edits):
        total = _total(segments)
        kind = rng.choice(["change", "insert", "delete", "move"])
        if kind == "change" and total:
            pos = rng.randrange(total)
            n = min(total - pos, rng.randint(1, 64))
            i = _cut(segments, pos)
            j = _cut(segments, pos + n)
            for k in range(i, j):
                seg = segments[k]
                if seg[0] == "copy":
                    for idx in range(seg[2]):
                        if rng.random() < 0.5:
                            seg[3][idx] = rng.randrange(256)
                else:
                    segments[k] = ("lit", bytes(rng.randrange(256) for _ in seg[1]))
        elif kind == "insert":
            pos = rng.randrange(total + 1)
            i = _cut(segments, pos)
            segments.insert(i, ("lit", bytes(rng.randrange(256) for _ in range(rng.randint(1, 300)))))
        elif kind == "delete" and total > 1:
            pos = rng.randrange(total)
            n = min(total - pos, rng.randint(1, 4096))
            i = _cut(segments, pos)
            j = _cut(segments, pos + n)
            del segments[i:j]
        elif kind == "move" and total > 1:
            pos = rng.randrange(total)
            n = min(total - pos, rng.randint(1, 1 << 16))
            i = _cut(segments, pos)
            j = _cut(segments, pos + n)
            moved = segments[i:j]
            del segments[i:j]
            k = _cut(segments, rng.randrange(_total(segments) + 1))
            segments[k:k] = moved
    return segments


def elements_from_segments(old, segments, rng, element_count):
    """Cuts the new image into about element_count NoOp elements. Each element's old range is
    either the whole old image or the span of its copies (so old ranges overlap); copies outside
    it become extra data. Changed bytes inside copies become raw deltas."""
    segments = list(segments)
    total = _total(segments)
    cuts = sorted(set(rng.randrange(1, total) for _ in range(element_count - 1))) if total > 1 else []
    bounds = [0] + cuts + [total]
    elements = []
    for lo, hi in zip(bounds, bounds[1:]):
        i = _cut(segments, lo)
        j = _cut(segments, hi)
        part = segments[i:j]
        copies = [s for s in part if s[0] == "copy" and s[2] > 0]
        if copies and rng.random() < 0.5:
            old_lo = min(s[1] for s in copies)
            old_hi = max(s[1] + s[2] for s in copies)
        else:
            old_lo, old_hi = 0, len(old)
        if rng.random() < 0.3 and old_hi - old_lo > 2:
            # A narrower old range: copies that fall outside it become literal bytes.
            old_lo += rng.randrange((old_hi - old_lo) // 2)
        equivalences, extra, raw_delta = [], bytearray(), []
        dst = 0
        copied = 0
        for seg in part:
            n = _seg_len(seg)
            if seg[0] == "copy" and old_lo <= seg[1] and seg[1] + n <= old_hi:
                equivalences.append((seg[1] - old_lo, dst, n))
                for idx in sorted(seg[3]):
                    diff = (seg[3][idx] - old[seg[1] + idx]) & 0xFF
                    if diff:
                        raw_delta.append((copied + idx, diff))
                copied += n
            else:
                extra += _materialize(old, [seg])
            dst += n
        elements.append(Element(old_lo, old_hi - old_lo, lo, hi - lo, equivalences=equivalences,
                                extra_data=bytes(extra), raw_delta=raw_delta))
    return elements


def make_edit_patch(old, seed, edits=40, element_count=5):
    """(new image, patch bytes) for a random edit script applied to old."""
    rng = random.Random(seed)
    segments = random_edit_script(rng, old, edits)
    new = _materialize(old, segments)
    elements = elements_from_segments(old, segments, rng, element_count)
    return new, patch_for(old, new, elements)


def main(argv):
    """edit OLD SEED OUT_NEW OUT_PATCH [EDITS [ELEMENTS]]: writes the edited image and its patch."""
    if len(argv) >= 5 and argv[1] == "edit":
        with open(argv[2], "rb") as f:
            old = f.read()
        edits = int(argv[6]) if len(argv) > 6 else 40
        count = int(argv[7]) if len(argv) > 7 else 5
        new, patch = make_edit_patch(old, int(argv[3]), edits, count)
        with open(argv[4], "wb") as f:
            f.write(new)
        with open(argv[5], "wb") as f:
            f.write(patch)
        return 0
    print(main.__doc__)
    return 2


if __name__ == "__main__":
    import sys
    sys.exit(main(sys.argv))
