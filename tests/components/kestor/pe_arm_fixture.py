"""Programs for the PE and ARM disassembler tests, built by the cross binutils.

- pe_program(bits, new): the x86 program of elf_fixture, assembled and linked as a PE32 (bits 32,
  i686-w64-mingw32) or PE32+ (bits 64, x86_64-w64-mingw32) image with base relocations.
- arm_program(new) / aarch64_program(new): AArch32 programs with one ARM and one Thumb-2 code
  section, and AArch64 programs with two code sections, linked as PIEs. Functions branch to each
  other with every branch kind of the architecture, .data holds pointers to them (relative
  relocations). The new version inserts a function in the middle of each code section and
  bytes in the middle of .data, and aims one call at an inserted function.
- branch_encodings(arch, seed): branches of every kind placed by a linker script at chosen
  addresses, aimed at labels at chosen distances (random within range, and the range ends), each
  linked twice with two different targets; the assembler's and linker's bytes for both.
- scan_program(arm_like): an AArch32 image whose section .scan holds 400 words, `arm_like` of
  them with the condition AL, one of those a BL to .target.

build(kind, folder, ...) writes the source, assembles and links; it returns the program's path.
Run as a program: pe_arm_fixture.py KIND FOLDER [new] prints the path of the built program;
pe_arm_fixture.py bench FOLDER builds the benchmarks' programs and prints "kind path" lines.
"""

import os
import random
import struct
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import elf_fixture  # noqa: E402

TOOLS = {
    "elf64": "",
    "pe32": "i686-w64-mingw32-",
    "pe64": "x86_64-w64-mingw32-",
    "arm": "arm-linux-gnueabihf-",
    "aarch64": "aarch64-linux-gnu-",
}

ARM_CONDITIONS = ["eq", "ne", "cs", "cc", "mi", "pl", "vs", "vc", "hi", "ls", "ge", "lt", "gt", "le"]
A64_CONDITIONS = ["eq", "ne", "hs", "lo", "mi", "pl", "vs", "vc", "hi", "ls", "ge", "lt", "gt", "le", "al"]


def run(*args):
    subprocess.run(list(args), check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def pe_program(bits, new, functions=48):
    return elf_fixture.assembly(bits, new, functions=functions)


def arm_program(new, seed=11, functions=40):
    """ARM functions a0.. in .arm_text, Thumb-2 functions t0.. in .thumb_text."""
    rng = random.Random(seed)
    out = [".syntax unified", ".arch armv7-a"]

    def arm_function(name, body_calls):
        lines = [".p2align 2", name + ":"]
        for _ in range(body_calls):
            j = rng.randrange(functions)
            kind = rng.choice(["bl", "b", "bcond", "blx", "fill", "fill"])
            if kind == "bl":
                lines.append("  bl a%d" % j)
            elif kind == "b":
                lines.append("  b a%d" % j)
            elif kind == "bcond":
                lines.append("  b%s a%d" % (rng.choice(ARM_CONDITIONS), j))
            elif kind == "blx":
                lines.append("  blx t%d" % j)
            else:
                lines.append(rng.choice(["  add r0, r0, #%d" % rng.randrange(1, 200), "  mov r1, r0",
                                         "  cmp r0, #%d" % rng.randrange(100), "  eor r2, r2, r0"]))
        lines.append("  bx lr")
        return lines

    def thumb_function(name, body_calls):
        lines = [".p2align 1", ".thumb_func", name + ":"]
        local = 0
        for _ in range(body_calls):
            j = rng.randrange(functions)
            kind = rng.choice(["bl", "bw", "bcondw", "blx", "short", "fill", "fill"])
            if kind == "bl":
                lines.append("  bl t%d" % j)
            elif kind == "bw":
                lines.append("  b.w t%d" % j)
            elif kind == "bcondw":
                lines.append("  b%s.w t%d" % (rng.choice(ARM_CONDITIONS), j))
            elif kind == "blx":
                lines.append("  blx a%d" % j)
            elif kind == "short":
                lines += ["  cmp r0, #%d" % rng.randrange(100),
                          "  b%s.n .L%s_%d" % (rng.choice(ARM_CONDITIONS), name, local),
                          "  adds r0, #1", "  add.w r0, r0, #%d" % rng.randrange(1, 200),
                          "  b.n .L%s_%d" % (name, local + 1),
                          ".L%s_%d:" % (name, local), "  adds r0, #2",
                          ".L%s_%d:" % (name, local + 1)]
                local += 2
            else:
                lines.append(rng.choice(["  adds r0, #%d" % rng.randrange(1, 200), "  nop",
                                         "  add.w r1, r1, #%d" % rng.randrange(1, 200), "  mov r1, r0"]))
        lines.append("  bx lr")
        return lines

    arm, thumb = [], []
    for i in range(functions):
        if i == functions // 2:
            arm += [".ifdef NEW"] + arm_function("new_arm", 3) + [".endif"]
            thumb += [".ifdef NEW"] + thumb_function("new_thumb", 3) + [".endif"]
        arm += arm_function("a%d" % i, rng.randint(2, 7))
        thumb += thumb_function("t%d" % i, rng.randint(2, 7))
        if i == functions - 5:
            arm += [".ifdef NEW", "  bl new_arm", ".else", "  bl a1", ".endif", "  bx lr"]
            thumb += [".ifdef NEW", "  bl new_thumb", ".else", "  bl t1", ".endif", "  bx lr"]
    out += [".section .arm_text,\"ax\",%progbits", ".arm", ".globl _start", "_start:"] + arm + [".p2align 2"]
    out += [".section .thumb_text,\"ax\",%progbits", ".thumb"] + thumb + [".p2align 2"]
    out += [".data", ".p2align 2", "table:"]
    out += ["  .long %s%d" % (rng.choice("at"), rng.randrange(functions)) for _ in range(12)]
    out += [".ifdef NEW", "  .skip 40", ".endif", "table2:"]
    out += ["  .long %s%d" % (rng.choice("at"), rng.randrange(functions)) for _ in range(12)]
    return "\n".join(out) + "\n"


def aarch64_program(new, seed=13, functions=60, pointers=24):
    """Functions f0.. split over .text and .text_b; `pointers` addresses of them in .data.
    Conditional branches reach at most 2,000 functions away, which keeps them in range however
    many functions there are."""
    rng = random.Random(seed)
    out = []

    def function(name, i):
        lines = [".p2align 2", name + ":"]
        local = 0
        for _ in range(rng.randint(2, 8)):
            j = rng.randrange(max(0, i - 2000), min(functions, i + 2000))
            reg = rng.choice(["x", "w"])
            kind = rng.choice(["bl", "b", "bcond", "cbz", "cbnz", "tbz", "fill", "fill"])
            if kind in ("bl", "b"):
                lines.append("  %s f%d" % (kind, j))
            elif kind == "bcond":
                lines.append("  b.%s f%d" % (rng.choice(A64_CONDITIONS), j))
            elif kind in ("cbz", "cbnz"):
                lines.append("  %s %s%d, f%d" % (kind, reg, rng.randrange(8), j))
            elif kind == "tbz":
                bit = rng.randrange(64 if reg == "x" else 32)
                lines += ["  %s %s%d, #%d, .L%s_%d" % (rng.choice(["tbz", "tbnz"]), reg, rng.randrange(8), bit,
                                                        name, local),
                          "  add x1, x1, #%d" % rng.randrange(1, 4000), ".L%s_%d:" % (name, local)]
                local += 1
            else:
                lines.append(rng.choice(["  add x0, x0, #%d" % rng.randrange(1, 4000), "  nop", "  mov x1, x0",
                                         "  eor w2, w2, w0"]))
        lines.append("  ret")
        return lines

    text_a, text_b = [], []
    for i in range(functions):
        part = text_a if i < functions // 2 else text_b
        if i == functions // 4 or i == 3 * functions // 4:
            part += [".ifdef NEW"] + function("new_f%d" % i, i) + [".endif"]
        part += function("f%d" % i, i)
        if i == functions - 5:
            part += [".ifdef NEW", "  bl new_f%d" % (functions // 4), ".else", "  bl f1", ".endif", "  ret"]
    out += [".text", ".globl _start", "_start:"] + text_a
    out += [".section .text_b,\"ax\",%progbits"] + text_b
    out += [".data", ".p2align 3", "table:"]
    out += ["  .quad f%d" % rng.randrange(functions) for _ in range(pointers // 2)]
    out += [".ifdef NEW", "  .skip 40", ".endif", "table2:"]
    out += ["  .quad f%d" % rng.randrange(functions) for _ in range(pointers - pointers // 2)]
    return "\n".join(out) + "\n"


def scan_program(arm_like):
    """.scan: 400 words, `arm_like` of them with condition AL (the first a BL to .target), the
    others 0; .target: a BX LR."""
    words = ["  bl target"] + ["  .inst 0xe1a00000"] * (arm_like - 1) + ["  .inst 0x00000000"] * (400 - arm_like)
    return "\n".join([".syntax unified", ".section .scan,\"ax\",%progbits", ".arm", ".p2align 2", ".globl _start",
                      "_start:"] + words + [".section .target,\"ax\",%progbits", ".arm", ".p2align 2", "target:",
                                            "  bx lr"]) + "\n"


def build(kind, folder, new=False, source=None, link_args=()):
    """Assembles and links one program of kind pe32, pe64, arm, aarch64 or (native) elf64 in
    folder."""
    os.makedirs(folder, exist_ok=True)
    if source is None:
        source = {"pe32": lambda: pe_program(32, new), "pe64": lambda: pe_program(64, new),
                  "arm": lambda: arm_program(new), "aarch64": lambda: aarch64_program(new)}[kind]()
    tools = TOOLS[kind]
    src, obj = os.path.join(folder, "prog.s"), os.path.join(folder, "prog.o")
    prog = os.path.join(folder, "prog.exe" if kind.startswith("pe") else "prog")
    with open(src, "w") as f:
        f.write(source)
    as_args = {"elf64": ["--64"], "pe32": ["--32"], "pe64": ["--64"], "arm": [], "aarch64": []}[kind]
    run(tools + "as", *as_args, *(["--defsym", "NEW=1"] if new else []), src, "-o", obj)
    if kind == "elf64":
        run("ld", "-pie", "--no-dynamic-linker", "-z", "noseparate-code", *link_args, obj, "-o", prog)
    elif kind.startswith("pe"):
        run(tools + "ld", "--dynamicbase", "-e", "_start", *link_args, obj, "-o", prog)
    else:
        run(tools + "ld", "-pie", "--no-dynamic-linker", "-z", "max-page-size=4096", *link_args, obj, "-o", prog)
    return prog


# --- Branch encodings -------------------------------------------------------------------------
#
# Kinds: (address type, mnemonic template, instruction size, label mode, range of the
# displacement (lowest, highest), displacement step, base of the displacement). The label mode
# says which code the target is: "a" ARM (word-aligned), "t" Thumb, "x" AArch64.

ARM_KINDS = [
    ("A24", "b {L}", 4, "a", -(1 << 25), (1 << 25) - 4, 4, "r+8"),
    ("A24", "bl {L}", 4, "a", -(1 << 25), (1 << 25) - 4, 4, "r+8"),
    ("A24", "bne {L}", 4, "a", -(1 << 25), (1 << 25) - 4, 4, "r+8"),
    ("A24", "blx {L}", 4, "t", -(1 << 25), (1 << 25) - 2, 2, "r+8"),
    ("T8", "beq.n {L}", 2, "t", -256, 254, 2, "r+4"),
    ("T8", "bgt.n {L}", 2, "t", -256, 254, 2, "r+4"),
    ("T11", "b.n {L}", 2, "t", -2048, 2046, 2, "r+4"),
    ("T20", "bne.w {L}", 4, "t", -(1 << 20), (1 << 20) - 2, 2, "r+4"),
    ("T20", "blt.w {L}", 4, "t", -(1 << 20), (1 << 20) - 2, 2, "r+4"),
    # ld measures a forward Thumb branch to the target address with its Thumb bit set, so it
    # routes the last 2 bytes of the range through a stub.
    ("T24", "b.w {L}", 4, "t", -(1 << 24), (1 << 24) - 4, 2, "r+4"),
    ("T24", "bl {L}", 4, "t", -(1 << 24), (1 << 24) - 4, 2, "r+4"),
    ("T24", "blx {L}", 4, "a", -(1 << 24), (1 << 24) - 4, 4, "(r+4)&~3"),
]

AARCH64_KINDS = [
    ("Immd14", "tbz w3, #5, {L}", 4, "x", -(1 << 15), (1 << 15) - 4, 4, "r"),
    ("Immd14", "tbnz x7, #40, {L}", 4, "x", -(1 << 15), (1 << 15) - 4, 4, "r"),
    ("Immd19", "b.ne {L}", 4, "x", -(1 << 20), (1 << 20) - 4, 4, "r"),
    ("Immd19", "cbz x2, {L}", 4, "x", -(1 << 20), (1 << 20) - 4, 4, "r"),
    ("Immd19", "cbnz w9, {L}", 4, "x", -(1 << 20), (1 << 20) - 4, 4, "r"),
    ("Immd26", "b {L}", 4, "x", -(1 << 27), (1 << 27) - 4, 4, "r"),
    ("Immd26", "bl {L}", 4, "x", -(1 << 27), (1 << 27) - 4, 4, "r"),
]

ARM_TYPES = ["A24", "T8", "T11", "T20", "T24"]
AARCH64_TYPES = ["Immd14", "Immd19", "Immd26"]


def _base(rule, r):
    return {"r+8": r + 8, "r+4": r + 4, "(r+4)&~3": (r + 4) & ~3, "r": r}[rule]


def branch_cases(arch, seed=5, per_kind=12):
    """[(kind index, branch address r, target 1, target 2)]: for each kind the two range ends, then
    random displacements; instructions and labels never overlap."""
    kinds = ARM_KINDS if arch == "arm" else AARCH64_KINDS
    rng = random.Random(seed)
    taken = []  # [lo, hi) of every placed instruction and label, for both links

    def free(lo, size):
        return all(lo + size <= a or b <= lo for a, b in taken)

    cases = []
    for k, (addr_type, _, size, mode, lowest, highest, step, rule) in enumerate(kinds):
        # Thumb branches may sit at 2 mod 4; ARM and AArch64 instructions are word-aligned.
        alignment = 2 if addr_type in ("T8", "T11", "T20", "T24") else 4
        label_size = 2 if mode == "t" else 4
        draws = [(lowest, highest)] + [None] * (per_kind - 1)
        for draw in draws:
            for _attempt in range(1000):
                # Branches live in [0x20000000, 0x28000000), far from both ends of every range.
                r = rng.randrange(0x20000000, 0x28000000) // alignment * alignment
                low = lowest
                if rule == "(r+4)&~3" and r % 4 == 2:
                    # ld measures a Thumb BLX from r + 4 before rounding down, so it refuses the
                    # lowest displacement there; the range end is taken at r = 0 mod 4.
                    if draw is not None:
                        r -= 2
                    low = lowest + step
                if draw is None:
                    d1, d2 = (rng.randrange(low // step, highest // step + 1) * step for _ in range(2))
                else:
                    d1, d2 = draw
                base = _base(rule, r)
                spots = [(r, size), (base + d1, label_size), (base + d2, label_size)]
                if d1 == d2 or not all(free(a, n) for a, n in spots):
                    continue
                if not all(a + n <= b or b + m <= a for a, n in spots[:1] for b, m in spots[1:]):
                    continue
                taken.extend((a, a + n) for a, n in spots)
                cases.append((k, r, base + d1, base + d2))
                break
            else:
                raise RuntimeError("no room for a branch case")
    return cases


def _encode_link(arch, folder, cases, which):
    """Links every case with its target 1 or 2; returns the instruction bytes of each case."""
    kinds = ARM_KINDS if arch == "arm" else AARCH64_KINDS
    lines = [".syntax unified", ".arch armv7-a"] if arch == "arm" else []
    script = ["SECTIONS {"]
    for i, (k, r, t1, t2) in enumerate(cases):
        _, template, _, mode, _, _, _, _ = kinds[k]
        branch_mode = ".thumb" if kinds[k][0] != "A24" else ".arm"
        label = "L%d" % i
        if arch == "arm":
            lines += [".section .b%d,\"ax\",%%progbits" % i, branch_mode, template.format(L=label)]
            lines += [".section .t%d,\"ax\",%%progbits" % i]
            lines += [".arm", label + ":", "  bx lr"] if mode == "a" else [".thumb", ".thumb_func", label + ":",
                                                                           "  bx lr"]
        else:
            lines += [".section .b%d,\"ax\",%%progbits" % i, "  " + template.format(L=label)]
            lines += [".section .t%d,\"ax\",%%progbits" % i, label + ":", "  ret"]
        target = t1 if which == 1 else t2
        script += ["  .b%d 0x%x : { *(.b%d) }" % (i, r, i), "  .t%d 0x%x : { *(.t%d) }" % (i, target, i)]
    script += ["  /DISCARD/ : { *(.ARM.attributes) }", "}"]
    os.makedirs(folder, exist_ok=True)
    src, obj = os.path.join(folder, "enc.s"), os.path.join(folder, "enc.o")
    lds, out = os.path.join(folder, "enc.ld"), os.path.join(folder, "enc%d" % which)
    with open(src, "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(lds, "w") as f:
        f.write("\n".join(script) + "\n")
    tools = TOOLS[arch]
    run(tools + "as", src, "-o", obj)
    run(tools + "ld", "-z", "max-page-size=4096", "-e", "0", "-T", lds, obj, "-o", out)
    with open(out, "rb") as f:
        data = f.read()
    # The ELF section table: the file offset of every .bN.
    is64 = data[4] == 2
    shoff, = struct.unpack_from("<Q" if is64 else "<I", data, 0x28 if is64 else 0x20)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A if is64 else 0x2E)
    fmt = "<IIQQQQIIQQ" if is64 else "<IIIIIIIIII"
    headers = [struct.unpack_from(fmt, data, shoff + i * shentsize) for i in range(shnum)]
    names_off = headers[shstrndx][4]
    offsets = {}
    for h in headers:
        name = data[names_off + h[0]:data.index(b"\0", names_off + h[0])].decode()
        offsets[name] = (h[3], h[4])  # address, offset
    codes = []
    for i, (k, r, _, _) in enumerate(cases):
        addr, off = offsets[".b%d" % i]
        assert addr == r, "section .b%d placed at %x, not %x" % (i, addr, r)
        size = kinds[k][2]
        codes.append(data[off:off + size])
    return codes


def branch_encodings(arch, folder, seed=5, per_kind=12):
    """[(type name, kind index, r, t1, bytes 1, t2, bytes 2)]."""
    kinds = ARM_KINDS if arch == "arm" else AARCH64_KINDS
    cases = branch_cases(arch, seed, per_kind)
    first = _encode_link(arch, os.path.join(folder, "one"), cases, 1)
    second = _encode_link(arch, os.path.join(folder, "two"), cases, 2)
    return [(kinds[k][0], k, r, t1, b1, t2, b2) for (k, r, t1, t2), b1, b2 in zip(cases, first, second)]



# --- Crafted PE images ------------------------------------------------------------------------

CODE = 0x60000020    # code, execute, read
DATA = 0xC0000040    # initialised data, read, write
RELOC = 0x42000040   # initialised data, discardable, read


def reloc_blocks(blocks):
    """The bytes of a base-relocation table: blocks of (page RVA, [(type, page offset)]), each
    padded with a type-0 entry to a multiple of 4 bytes."""
    out = bytearray()
    for page, entries in blocks:
        words = [t << 12 | o for t, o in entries]
        if len(words) % 2:
            words.append(0)
        out += struct.pack("<II", page, 8 + 2 * len(words)) + struct.pack("<%dH" % len(words), *words)
    return bytes(out)


def tiny_pe(bits, sections, reloc=None, reloc_directory=None, image_base=None):
    """A PE32 (bits 32) or PE32+ (bits 64) image: the DOS header with e_lfanew 0x40, the headers
    with 16 data directories, and `sections`, a list of (name, RVA, raw bytes, virtual size,
    characteristics) whose raw data follow each other from 0x400 in 0x200 steps. `reloc` bytes
    become a last section ".reloc" named by directory 5, unless `reloc_directory` gives (RVA,
    size) itself."""
    is64 = bits == 64
    sections = list(sections)
    if reloc is not None:
        rva = max(s[1] + max(s[3], len(s[2])) for s in sections)
        rva = (rva + 0xFFF) & ~0xFFF
        sections.append((".reloc", rva, reloc, len(reloc), RELOC))
        if reloc_directory is None:
            reloc_directory = (rva, len(reloc))
    image_base = image_base if image_base is not None else (0x140000000 if is64 else 0x400000)
    size_of_image = max(s[1] + max(s[3], len(s[2])) for s in sections)
    size_of_image = (size_of_image + 0xFFF) & ~0xFFF
    directories = [(0, 0)] * 16
    if reloc_directory is not None:
        directories[5] = reloc_directory
    if is64:
        optional = struct.pack("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", 0x20B, 2, 40, 0, 0, 0, 0x1000, 0x1000, image_base,
                               0x1000, 0x200, 4, 0, 1, 0, 4, 0, 0, size_of_image, 0x400, 0, 3, 0x140, 0x200000,
                               0x1000, 0x100000, 0x1000, 0, 16)
    else:
        optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 2, 40, 0, 0, 0, 0x1000, 0x1000, 0x2000,
                               image_base, 0x1000, 0x200, 4, 0, 1, 0, 4, 0, 0, size_of_image, 0x400, 0, 3, 0x140,
                               0x200000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == (240 if is64 else 224)
    coff = struct.pack("<HHIIIHH", 0x8664 if is64 else 0x14C, len(sections), 0, 0, 0, len(optional), 0x22)
    table, raw = bytearray(), bytearray()
    pointer = 0x400
    for name, rva, data, virtual_size, characteristics in sections:
        raw_size = (len(data) + 0x1FF) & ~0x1FF
        table += struct.pack("<8sIIIIIIHHI", name.encode(), virtual_size, rva, raw_size, pointer if data else 0, 0, 0,
                             0, 0, characteristics)
        raw += data + bytes(raw_size - len(data))
        pointer += raw_size
    header = bytearray(b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)) + b"PE\0\0" + coff + optional + table
    assert len(header) <= 0x400
    return bytes(header + bytes(0x400 - len(header)) + raw)


def benchmark_programs(folder, functions=40000):
    """Large programs for the benchmarks, made the same way for each kind: about 10^5 branches
    and 10^5 absolute addresses. Returns {kind: path} for elf64, pe64 and aarch64."""
    x64 = elf_fixture.assembly(64, False, functions=functions)
    return {
        "elf64": build("elf64", os.path.join(folder, "elf64"), source=x64),
        "pe64": build("pe64", os.path.join(folder, "pe64"), source=x64),
        "aarch64": build("aarch64", os.path.join(folder, "aarch64"),
                         source=aarch64_program(False, functions=functions, pointers=100000)),
    }


if __name__ == "__main__":
    if sys.argv[1] == "bench":
        for kind, path in sorted(benchmark_programs(sys.argv[2]).items()):
            print(kind, path)
    else:
        print(build(sys.argv[1], sys.argv[2], new=len(sys.argv) > 3 and sys.argv[3] == "new"))
