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



# --- ELF images as binutils sees them -------------------------------------------------------
#
# Sections, relocations, symbols and instructions come from readelf and objdump; only the
# stored bytes at known places are read from the file. The rules for which of them are
# references follow the engine's ELF format description: relative relocations of allocated
# REL/RELA sections, the absolute addresses they point at, and rel32 displacements of calls,
# jumps and (x86-64) RIP-relative operands.

import bisect
import re
import subprocess

RELATIVE_TYPE = 8  # R_386_RELATIVE and R_X86_64_RELATIVE
INVALID = 0xFFFFFFFE

_SECTION_RE = re.compile(r"^\s*\[\s*(\d+)\]\s+(\S*)\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+"
                         r"([0-9a-f]+)\s+([A-Za-z]*)\s+(\d+)\s+(\d+)\s+(\d+)\s*$")
_RELOC_SECTION_RE = re.compile(r"^Relocation section '([^']+)' at offset 0x([0-9a-f]+) contains (\d+) entr")
_RELOC_ENTRY_RE = re.compile(r"^([0-9a-f]+)\s+([0-9a-f]+)\s+(\S+)")
_SYMBOL_RE = re.compile(r"^\s*\d+:\s+([0-9a-f]+)\s+(\d+|0x[0-9a-f]+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s*$")
_INSN_RE = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+?)\s*\t(.*)$")
_DISASSEMBLY_RE = re.compile(r"^Disassembly of section (\S+):")
_PREFIXES = {0x66, 0x67, 0xF2, 0xF3, 0xF0, 0x2E, 0x3E, 0x26, 0x36, 0x64, 0x65}


def _tool(*args):
    return subprocess.run(list(args), check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          universal_newlines=True).stdout


class Section:
    def __init__(self, index, name, kind, addr, off, size, entsize, flags):
        self.index, self.name, self.kind = index, name, kind
        self.addr, self.off, self.size, self.entsize, self.flags = addr, off, size, entsize, flags

    @property
    def translatable(self):
        return self.addr != 0 and self.size != 0 and not (self.kind == "NOBITS" and "T" in self.flags)

    @property
    def pointer_bearing(self):
        return self.addr != 0 and self.size != 0 and self.kind != "NOBITS"


class ElfImage:
    """One ELF file: its bytes and what readelf says about it."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        self.is64 = self.data[4] == 2
        self.width = 8 if self.is64 else 4
        self.sections = []
        for line in _tool("readelf", "-SW", path).splitlines():
            m = _SECTION_RE.match(line)
            if m:
                self.sections.append(Section(int(m.group(1)), m.group(2), m.group(3), int(m.group(4), 16),
                                             int(m.group(5), 16), int(m.group(6), 16), int(m.group(7), 16),
                                             m.group(8)))
        self.units = [s for s in self.sections if s.translatable]
        self._relocations = None
        self._symbols = None

    def section(self, name):
        for s in self.sections:
            if s.name == name:
                return s
        return None

    def rva_to_offset(self, rva):
        for s in self.units:
            if s.addr <= rva < s.addr + s.size:
                return s.off + (rva - s.addr)
        return None

    def offset_to_rva(self, offset):
        for s in sorted(self.units, key=lambda u: u.kind == "NOBITS"):
            if s.off <= offset < s.off + s.size:
                return s.addr + (offset - s.off)
        return None

    def exec_sections(self):
        return sorted((s for s in self.sections if s.pointer_bearing and s.kind == "PROGBITS" and "X" in s.flags),
                      key=lambda s: s.off)

    def reloc_sections(self):
        sizes = {"REL": 16 if self.is64 else 8, "RELA": 24 if self.is64 else 12}
        return [s for s in self.sections if s.pointer_bearing and sizes.get(s.kind) == s.entsize]

    def read(self, offset, width):
        if offset + width > len(self.data):
            return None
        return int.from_bytes(self.data[offset:offset + width], "little")

    # Relocation group: (entry offset, offset of r_offset) for relative relocations.
    def relocation_refs(self):
        if self._relocations is None:
            wanted = {s.off: s for s in self.reloc_sections()}
            refs = []
            current, index = None, 0
            for line in _tool("readelf", "-rW", self.path).splitlines():
                m = _RELOC_SECTION_RE.match(line)
                if m:
                    current, index = wanted.get(int(m.group(2), 16)), 0
                    continue
                m = _RELOC_ENTRY_RE.match(line)
                if not m or current is None:
                    continue
                entry = current.off + index * current.entsize
                index += 1
                r_offset, info = int(m.group(1), 16), int(m.group(2), 16)
                kind = info & 0xFFFFFFFF if self.is64 else info & 0xFF
                if kind != RELATIVE_TYPE or r_offset >= 1 << 32:
                    continue
                target = self.rva_to_offset(r_offset)
                if target is not None and target + self.width <= len(self.data):
                    refs.append((entry, target))
            self._relocations = sorted(refs)
        return self._relocations

    # Abs32 group: the places named by relative relocations whose stored address translates,
    # without overlapping bodies; (location, target offset).
    def abs32_refs(self):
        refs = []
        for location in sorted(t for _, t in self.relocation_refs()):
            value = self.read(location, self.width)
            if value is None or value >= 0x7FFFFFFF:
                continue
            target = self.rva_to_offset(value)
            if target is not None:
                refs.append((location, target))
        kept = []
        for location, target in refs:
            if not kept or location - kept[-1][0] >= self.width:
                kept.append((location, target))
        return kept

    def symbols(self):
        """{name: (value, section index)} of the .symtab names that occur once."""
        if self._symbols is None:
            seen, table = {}, False
            for line in _tool("readelf", "-sW", self.path).splitlines():
                if line.startswith("Symbol table"):
                    table = "'.symtab'" in line
                    continue
                m = _SYMBOL_RE.match(line)
                if table and m and m.group(6).isdigit() and m.group(3) not in ("FILE", "SECTION"):
                    seen.setdefault(m.group(7), []).append((int(m.group(1), 16), int(m.group(6))))
            self._symbols = {name: v[0] for name, v in seen.items() if len(v) == 1}
        return self._symbols

    def objdump_rel32(self):
        """Every instruction objdump shows in the form of a rel32 reference: call, jmp and jcc with a
        32-bit displacement and, on x86-64, mov/lea with a RIP-relative operand and call/jmp through
        a RIP-relative pointer. Dicts: opcode (offset of the first byte after prefixes), location
        (offset of the displacement), target_rva (objdump's), branch (True for call/jmp/jcc),
        section."""
        out = []
        by_name = {s.name: s for s in self.sections}
        section = None
        text = _tool("objdump", "-d", "-w", "--insn-width=16", self.path)
        for line in text.splitlines():
            m = _DISASSEMBLY_RE.match(line)
            if m:
                section = by_name.get(m.group(1))
                continue
            m = _INSN_RE.match(line)
            if not m or section is None:
                continue
            vma = int(m.group(1), 16)
            code = bytes(int(b, 16) for b in m.group(2).split())
            asm = m.group(3)
            k = 0
            while k < len(code) and (code[k] in _PREFIXES or (self.is64 and 0x40 <= code[k] <= 0x4F)):
                k += 1
            if k >= len(code):
                continue
            op = code[k]
            modrm = code[k + 1] if k + 1 < len(code) else None
            if op in (0xE8, 0xE9) and len(code) == k + 5:
                disp_at, branch = k + 1, True
            elif op == 0x0F and modrm is not None and 0x80 <= modrm <= 0x8F and len(code) == k + 6:
                disp_at, branch = k + 2, True
            elif (self.is64 and len(code) == k + 6 and modrm is not None and
                  ((op in (0x89, 0x8B, 0x8D) and modrm & 0xC7 == 0x05) or (op == 0xFF and modrm in (0x15, 0x25)))):
                disp_at, branch = k + 2, False
            else:
                continue
            if branch:
                operands = re.sub(r"<[^>]*>", "", asm).split()
                target = int(operands[-1], 16)
            else:
                target = int(re.search(r"#\s*([0-9a-f]+)", asm).group(1), 16)
            start = section.off + (vma - section.addr)
            out.append({"opcode": start + k, "location": start + disp_at, "target_rva": target & 0xFFFFFFFF,
                        "branch": branch, "section": section})
        return out

    def rel32_refs(self):
        """The objdump rel32 forms whose targets the engine keeps: a branch must stay inside its own
        section, a RIP-relative operand inside any translated section. (location, target offset)."""
        refs = []
        for insn in self.objdump_rel32():
            target, s = insn["target_rva"], insn["section"]
            if self.rva_to_offset(target) is None:
                continue
            if insn["branch"] and not s.addr <= target < s.addr + s.size:
                continue
            refs.append((insn["location"], self.rva_to_offset(target)))
        return sorted(refs)

    def rel32_scan(self, abs32_locations=None):
        """The engine's byte scan written from its description: the gaps between abs32 bodies of
        each executable section, candidates by opcode bytes, kept by their targets. Locations."""
        if abs32_locations is None:
            abs32_locations = [l for l, _ in self.abs32_refs()]
        abs32_locations = sorted(abs32_locations)
        if self.is64:
            pattern = re.compile(rb"[\xe8\xe9]|\x0f[\x80-\x8f]|[\x89\x8b\x8d][\x05\x0d\x15\x1d\x25\x2d\x35\x3d]"
                                 rb"|\xff[\x15\x25]", re.S)
        else:
            pattern = re.compile(rb"[\xe8\xe9]|\x0f[\x80-\x8f]", re.S)
        data, found = self.data, []
        for s in self.exec_sections():
            lo, hi = s.off, s.off + s.size
            i = bisect.bisect_left(abs32_locations, lo)
            low = max(lo, abs32_locations[i - 1] + self.width) if i > 0 else lo
            gaps = []
            while i < len(abs32_locations) and abs32_locations[i] < hi:
                if low < abs32_locations[i]:
                    gaps.append((low, abs32_locations[i]))
                low = abs32_locations[i] + self.width
                i += 1
            if low < hi:
                gaps.append((low, hi))
            for glo, ghi in gaps:
                p = glo
                while True:
                    m = pattern.search(data, p, ghi)
                    if not m:
                        break
                    p = m.start()
                    op = data[p]
                    if op in (0xE8, 0xE9):
                        candidate = (p + 1, p + 5, False) if ghi - p >= 5 else None
                    else:
                        candidate = (p + 2, p + 6, op != 0x0F) if ghi - p >= 6 else None
                    if candidate is None:
                        p += 1
                        continue
                    location, accept, anywhere = candidate
                    target = (s.addr + (location - s.off) + 4 + self.read(location, 4)) & 0xFFFFFFFF
                    keep = self.rva_to_offset(target) is not None and (
                        anywhere or s.addr <= target < s.addr + s.size)
                    if keep:
                        found.append(location)
                        p = accept
                    else:
                        p += 1
        return sorted(found)

    def references(self):
        """The three reference groups (relocations, abs32, rel32) as lists of (location, target)."""
        return [self.relocation_refs(), self.abs32_refs(), self.rel32_refs()]


# --- Patches between two ELF files ------------------------------------------------------------


def elf_equivalences(old, new):
    """(source, destination, length) copies of same-named sections. A section whose size changed is
    cut where its symbols start to move by another distance, so inserted bytes fall between."""
    eqs = []
    osyms, nsyms = old.symbols(), new.symbols()
    for so in old.sections:
        sn = new.section(so.name) if so.name else None
        if sn is None or so.kind == "NOBITS" or sn.kind == "NOBITS" or not so.size or not sn.size:
            continue
        if so.size == sn.size:
            eqs.append((so.off, sn.off, so.size))
            continue
        pairs = sorted((ov - so.addr, nsyms[name][0] - sn.addr) for name, (ov, ndx) in osyms.items()
                       if ndx == so.index and name in nsyms and nsyms[name][1] == sn.index)
        runs = []
        for o, n in pairs:
            if not runs or runs[-1][1] != n - o:
                runs.append([o, n - o])
        if not runs:
            continue
        runs[0][0] = 0
        for i, (start, shift) in enumerate(runs):
            end = runs[i + 1][0] if i + 1 < len(runs) else so.size
            new_end = runs[i + 1][0] + runs[i + 1][1] if i + 1 < len(runs) else sn.size
            length = min(end - start, new_end - (start + shift), sn.size - (start + shift))
            if length > 0 and start + shift >= 0:
                eqs.append((so.off + start, sn.off + start + shift, length))
    eqs.sort(key=lambda e: e[1])
    kept, end = [], 0
    for src, dst, length in eqs:
        if dst < end:
            src, length, dst = src + (end - dst), length - (end - dst), end
        if length > 0:
            kept.append((src, dst, length))
            end = dst + length
    return kept


def extended_projection(pruned, target, old_size, new_size):
    if target >= old_size:
        return min(new_size + (target - old_size), 0x7FFFFFFE)
    sources = [e[0] for e in pruned]
    i = bisect.bisect_right(sources, target)
    if i == 0:
        eq = pruned[0]
    elif i == len(pruned):
        eq = pruned[-1]
    else:
        prev = pruned[i - 1]
        prev_end = prev[0] + prev[2]
        if target < prev_end:
            eq = prev
        else:
            eq = prev if target - prev_end < pruned[i][0] - target else pruned[i]
    return max(0, min(eq[1] + (target - eq[0]), new_size - 1))


def nearest_index(targets, p):
    i = bisect.bisect_left(targets, p)
    if i == 0:
        return 0
    if i == len(targets):
        return len(targets) - 1
    return i if targets[i] - p < p - targets[i - 1] else i - 1


def make_elf_patch(old_path, new_path, exe_type):
    """A patch turning one ELF file into another: copies of sections, everything else (headers,
    inserted bytes) as extra data, other changed bytes as raw delta, and the reference bodies
    left to the engine, which re-aims each old reference at the target the new file has there.
    Targets that no old target projects onto are extra targets of their pool."""
    old, new = ElfImage(old_path), ElfImage(new_path)
    eqs = elf_equivalences(old, new)
    by_source = sorted(eqs)
    for a, b in zip(by_source, by_source[1:]):
        assert a[0] + a[2] <= b[0], "overlapping sources need pruning"
    widths = [old.width, old.width, 4]
    old_refs, new_refs = old.references(), new.references()
    new_targets = [dict(g) for g in new_refs]

    written = set()
    reference_deltas, pools = [], []
    for group in range(3):  # one group per pool, pools 0, 1, 2
        projected = set()
        for _, t in old_refs[group]:
            for src, dst, length in by_source:
                if src <= t < src + length:
                    projected.add(dst + (t - src))
        wanted = []
        for src, dst, length in eqs:
            for location, target in old_refs[group]:
                if src <= location < src + length:
                    new_location = location - src + dst
                    assert new_location in new_targets[group], "no reference at %x in the new file" % new_location
                    wanted.append((target, new_targets[group][new_location]))
                    written.update(range(new_location, new_location + widths[group]))
        extra = sorted(set(t for _, t in wanted) - projected)
        targets = sorted(projected | set(extra))
        index = {t: i for i, t in enumerate(targets)}
        for old_target, new_target in wanted:
            p = extended_projection(by_source, old_target, len(old.data), len(new.data))
            reference_deltas.append(index[new_target] - nearest_index(targets, p))
        if extra:
            pools.append((group, extra))

    extra_data, raw_delta, w, copied = bytearray(), [], 0, 0
    for src, dst, length in eqs:
        extra_data += new.data[w:dst]
        for i in range(length):
            a, b = old.data[src + i], new.data[dst + i]
            if a != b and dst + i not in written:
                raw_delta.append((copied + i, (b - a) & 0xFF))
        copied += length
        w = dst + length
    extra_data += new.data[w:]
    element = Element(0, len(old.data), 0, len(new.data), exe_type=exe_type,
                      equivalences=eqs, extra_data=bytes(extra_data),
                      raw_delta=raw_delta, reference_deltas=reference_deltas, pools=pools)
    return patch_for(old.data, new.data, [element])

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
