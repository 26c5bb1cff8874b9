"""Assembly sources of small ELF programs for the ELF disassembler tests.

assembly(bits, new) is one program for `as --32` or `as --64`: functions that call and jump to
each other with 32-bit displacements, absolute addresses of functions in code and in data,
and on x86-64 RIP-relative loads, stores, lea and indirect calls into .data and .bss. The new
version (new=True) inserts a function in the middle of .text and bytes in the middle of .data,
and aims one call at the inserted function; everything else stays as it was.

Run as a program: elf_fixture.py BITS new|old prints the source.
"""

import random
import struct
import sys


def assembly(bits, new, seed=7, functions=48):
    rng = random.Random(seed)
    x64 = bits == 64
    word = ".quad" if x64 else ".long"
    out = [".text", ".globl _start", "_start:"]
    changed = functions - 5
    for i in range(functions):
        if new and i == functions // 2:
            out += [".p2align 4", "new_func:", "  xor %eax, %eax", "  call f0", "  ret"]
        out += [".p2align 4", "f%d:" % i]
        for _ in range(rng.randint(2, 7)):
            j = rng.randrange(functions)
            kind = rng.choice(["call", "jcc", "jmp", "data", "data", "abs", "filler"])
            if kind == "call":
                out.append("  call f%d" % j)
            elif kind == "jcc":
                out.append("  {disp32} %s f%d" % (rng.choice(["jne", "je", "jg", "jb", "js"]), j))
            elif kind == "jmp":
                out.append("  {disp32} jmp f%d" % j)
            elif kind == "abs":
                out.append("  movabs $f%d, %%rax" % j if x64 else "  movl $f%d, %%eax" % j)
            elif kind == "data" and x64:
                k = rng.randrange(8)
                out.append(rng.choice(["  lea table(%rip), %rax", "  mov counter%d(%%rip), %%eax" % k,
                                       "  mov %%eax, counter%d(%%rip)" % k, "  call *fptr%d(%%rip)" % k,
                                       "  jmp *fptr%d(%%rip)" % k, "  lea buffer(%rip), %rdi",
                                       "  lea message(%rip), %rsi"]))
            else:
                out.append("  add $1, %eax")
        if i == changed:
            out += [".ifdef NEW", "  call new_func", ".else", "  call f1", ".endif"]
        out.append("  ret")

    out += [".section .rodata", "message:", '  .asciz "kestor fixture"']
    out += [".data", ".p2align 3", "table:"]
    out += ["  %s f%d" % (word, rng.randrange(functions)) for _ in range(12)]
    out += [".ifdef NEW", "  .skip 40", ".endif"]
    for k in range(8):
        out += ["fptr%d:" % k, "  %s f%d" % (word, rng.randrange(functions))]
    for k in range(8):
        out += ["counter%d:" % k, "  .long %d" % k]
    out += [".bss", ".p2align 4", "buffer:", "  .skip 256"]
    return "\n".join(out) + "\n"


def c_program(seed=3, functions=240):
    """A C program for gcc: functions that call each other directly and through tables of
    pointers, switches, loops, strings, globals in .data and .bss and a thread-local variable."""
    rng = random.Random(seed)
    out = ["#include <stdio.h>", "#include <string.h>",
           "__thread int tls_counter;", "int counters[64];", "volatile int input = 3;",
           "static const char *const names[] = {%s};" % ", ".join('"name%d"' % i for i in range(32))]
    out += ["__attribute__((noinline)) int f%d(int x);" % i for i in range(functions)]
    for i in range(functions):
        body = ["__attribute__((noinline)) int f%d(int x) {" % i, "  int r = x + %d;" % i]
        body.append("  switch ((unsigned)x %% %d) {" % rng.randint(5, 9))
        for case in range(rng.randint(4, 6)):
            body.append("  case %d: r += f%d(r - 1) + counters[%d]; break;" % (case, rng.randrange(functions),
                                                                              rng.randrange(64)))
        body.append("  default: r ^= (int)strlen(names[x & 31]); tls_counter += r;")
        body.append("  }")
        body.append("  for (int k = 0; k < (x & 7); ++k) { if (r & k) r += f%d(k); else counters[k] ^= r; }"
                    % rng.randrange(functions))
        body += ["  return r;", "}"]
        out += body
    out.append("int (*const table[])(int) = {%s};" % ", ".join("f%d" % i for i in range(functions)))
    out += ["int main(int argc, char **argv) {", "  (void)argv;", "  int r = 0;",
            "  for (int i = 0; i < %d; ++i) r += table[(i * input + argc) %% %d](i);" % (functions, functions),
            '  printf("%d %d\\n", r, tls_counter);', "  return 0;", "}"]
    return "\n".join(out) + "\n"


def tiny_elf(bits, text=b"\x90", data=b"", relocs=(), rel_tail=b"", order=("text", "data", "rel")):
    """A minimal ELF executable: header, one PT_LOAD over the whole file, the section table, the
    section names, then the contents of .text, .data and the relocation section in `order`, so the
    last of them ends the file. Allocated sections live at address 0x1000 + their offset.
    `relocs` are (r_offset, r_info) entries, REL for 32 bits and RELA for 64; `rel_tail` is
    appended to the relocation section, which then is not a whole number of entries."""
    is64 = bits == 64
    ehsize, phsize, shsize = (64, 56, 64) if is64 else (52, 32, 40)
    names = b"\0.shstrtab\0.text\0.data\0" + (b".rela.dyn\0" if is64 else b".rel.dyn\0")
    name_at = {"shstrtab": 1, "text": 11, "data": 17, "rel": 23}
    if is64:
        rel, entsize, rel_type = b"".join(struct.pack("<QQq", o, i, 0) for o, i in relocs), 24, 4
    else:
        rel, entsize, rel_type = b"".join(struct.pack("<II", o, i) for o, i in relocs), 8, 9
    contents = {"shstrtab": names, "text": bytes(text), "data": bytes(data), "rel": rel + bytes(rel_tail)}
    shoff = ehsize + phsize
    pos = shoff + 5 * shsize
    place = {}
    for name in ("shstrtab",) + tuple(order):
        place[name] = pos
        pos += len(contents[name])
    total = pos
    ident = b"\x7fELF" + bytes([2 if is64 else 1, 1, 1, 0]) + bytes(8)
    entry = 0x1000 + place["text"]
    if is64:
        header = ident + struct.pack("<HHIQQQIHHHHHH", 3, 62, 1, entry, ehsize, shoff, 0, ehsize, phsize, 1,
                                     shsize, 5, 1)
        segment = struct.pack("<IIQQQQQQ", 1, 7, 0, 0x1000, 0x1000, total, total, 0x1000)
    else:
        header = ident + struct.pack("<HHIIIIIHHHHHH", 3, 3, 1, entry, ehsize, shoff, 0, ehsize, phsize, 1,
                                     shsize, 5, 1)
        segment = struct.pack("<IIIIIIII", 1, 0, 0x1000, 0x1000, total, total, 7, 0x1000)

    def section(name, kind, flags, alloc, esize):
        offset, size = place[name], len(contents[name])
        addr = 0x1000 + offset if alloc else 0
        if is64:
            return struct.pack("<IIQQQQIIQQ", name_at[name], kind, flags, addr, offset, size, 0, 0, 1, esize)
        return struct.pack("<IIIIIIIIII", name_at[name], kind, flags, addr, offset, size, 0, 0, 1, esize)

    table = bytes(shsize) + section("shstrtab", 3, 0, False, 0) + section("text", 1, 6, True, 0) + \
        section("data", 1, 3, True, 0) + section("rel", rel_type, 2, True, entsize)
    out = bytearray(header + segment + table)
    for name in ("shstrtab",) + tuple(order):
        out += contents[name]
    assert len(out) == total
    return bytes(out)


if __name__ == "__main__":
    if sys.argv[1] == "c":
        sys.stdout.write(c_program())
    else:
        sys.stdout.write(assembly(int(sys.argv[1]), sys.argv[2] == "new"))
