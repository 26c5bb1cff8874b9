#pragma once
// Arithmetic in the prime field of p = 2^255 - 19 in four 64-bit limbs, through the
// BMI2 and ADX instructions: mulx multiplies without touching the flags, and adcx and
// adox carry along two independent chains, so the rows of a product are summed in one
// pass with no carry saved between them. The faster field where the CPU has both and no
// AVX-512 IFMA; crypto/field.h is the portable one.
//
// An element is any value below 2^256 standing for itself modulo p: results are not
// reduced below p (2^256 = 38 mod p folds the top back in), only fe64_pack is canonical.
// Nothing branches on or indexes by a value.
//
// Only for x86-64 builds (FIELD64_AVAILABLE); only to be called when cpu_features()
// reports bmi2 and adx.
#include <array>
#include <cstdint>

#if defined(__x86_64__)
#define FIELD64_AVAILABLE 1
#endif

namespace crypto {

#if defined(FIELD64_AVAILABLE)

struct Fe64 {
  std::array<std::uint64_t, 4> v{};
};

namespace field64_detail {
__extension__ typedef unsigned __int128 u128;
}  // namespace field64_detail

// r's limbs from four registers, one 64-bit store each: the empty asm keeps the
// compiler from pairing them into vector stores.
inline void store(Fe64& r, std::uint64_t r0, std::uint64_t r1, std::uint64_t r2, std::uint64_t r3) {
  __asm__("" : "+r"(r0), "+r"(r1), "+r"(r2), "+r"(r3));
  r.v[0] = r0;
  r.v[1] = r1;
  r.v[2] = r2;
  r.v[3] = r3;
}

// The eight limbs of a product in r8 .. r15 folded to four: the upper four times 38
// added to the lower four in one pass of two carry chains, then the carry out times 38,
// then the rare second carry out as 38 more (which cannot carry again). Stores the
// result through %[r].
#define ONDREL_FE64_REDUCE        \
  "movq $38, %%rdx\n\t"           \
  "xorl %%ecx, %%ecx\n\t"         \
  "mulxq %%r12, %%rax, %%r12\n\t" \
  "adcxq %%rax, %%r8\n\t"         \
  "adoxq %%r12, %%r9\n\t"         \
  "mulxq %%r13, %%rax, %%r13\n\t" \
  "adcxq %%rax, %%r9\n\t"         \
  "adoxq %%r13, %%r10\n\t"        \
  "mulxq %%r14, %%rax, %%r14\n\t" \
  "adcxq %%rax, %%r10\n\t"        \
  "adoxq %%r14, %%r11\n\t"        \
  "mulxq %%r15, %%rax, %%r15\n\t" \
  "adcxq %%rax, %%r11\n\t"        \
  "adoxq %%rcx, %%r15\n\t"        \
  "adcxq %%rcx, %%r15\n\t"        \
  "imulq $38, %%r15, %%r15\n\t"   \
  "addq %%r15, %%r8\n\t"          \
  "adcq %%rcx, %%r9\n\t"          \
  "adcq %%rcx, %%r10\n\t"         \
  "adcq %%rcx, %%r11\n\t"         \
  "sbbq %%rax, %%rax\n\t"         \
  "andq $38, %%rax\n\t"           \
  "addq %%rax, %%r8\n\t"          \
  "movq %%r8, 0(%[r])\n\t"        \
  "movq %%r9, 8(%[r])\n\t"        \
  "movq %%r10, 16(%[r])\n\t"      \
  "movq %%r11, 24(%[r])\n\t"

// What the product and the square overwrite. They read and write memory through
// pointers alone: naming the limbs as memory operands too would need more address
// registers than a frame-pointer build leaves free.
#define ONDREL_FE64_CLOBBERS "rax", "rcx", "rdx", "r8", "r9", "r10", "r11", "r12", "r13", "r14", "r15", "cc", "memory"

// Row i of a product (i >= 1) beside the rows before it: b_i (at byte offset B) times
// a_0 .. a_3, the low halves added at limbs R0 .. R3 on the CF chain and the high
// halves at R1 .. R4 on the OF chain; R4 is new, and takes both chains' last carries.
#define ONDREL_FE64_ROW(B, R0, R1, R2, R3, R4) \
  "movq " B                                    \
  "(%[b]), %%rdx\n\t"                          \
  "xorl %%ecx, %%ecx\n\t"                      \
  "mulxq 0(%[a]), %%rax, %%rcx\n\t"            \
  "adcxq %%rax, %%" R0                         \
  "\n\t"                                       \
  "adoxq %%rcx, %%" R1                         \
  "\n\t"                                       \
  "mulxq 8(%[a]), %%rax, %%rcx\n\t"            \
  "adcxq %%rax, %%" R1                         \
  "\n\t"                                       \
  "adoxq %%rcx, %%" R2                         \
  "\n\t"                                       \
  "mulxq 16(%[a]), %%rax, %%rcx\n\t"           \
  "adcxq %%rax, %%" R2                         \
  "\n\t"                                       \
  "adoxq %%rcx, %%" R3                         \
  "\n\t"                                       \
  "mulxq 24(%[a]), %%rax, %%" R4               \
  "\n\t"                                       \
  "adcxq %%rax, %%" R3                         \
  "\n\t"                                       \
  "movq $0, %%rcx\n\t"                         \
  "adoxq %%rcx, %%" R4                         \
  "\n\t"                                       \
  "adcxq %%rcx, %%" R4 "\n\t"

// The operations write their result through r, which may be one of the operands: each
// reads all of its operands before it writes. Results go to memory in 64-bit stores and
// nothing copies an element whole, so no wider load ever waits on narrower stores.

// r = a * b.
inline void fe64_mul(Fe64& r, const Fe64& a, const Fe64& b) {
  // Row 0 with plain carries; rows 1 .. 3 each add their low halves on the CF chain and
  // their high halves on the OF chain. Limbs of the product: r8 .. r15.
  __asm__(
      "movq 0(%[b]), %%rdx\n\t"
      "mulxq 0(%[a]), %%r8, %%r9\n\t"
      "mulxq 8(%[a]), %%rax, %%r10\n\t"
      "addq %%rax, %%r9\n\t"
      "mulxq 16(%[a]), %%rax, %%r11\n\t"
      "adcq %%rax, %%r10\n\t"
      "mulxq 24(%[a]), %%rax, %%r12\n\t"
      "adcq %%rax, %%r11\n\t"
      "adcq $0, %%r12\n\t"

      ONDREL_FE64_ROW("8", "r9", "r10", "r11", "r12", "r13") ONDREL_FE64_ROW("16", "r10", "r11", "r12", "r13", "r14")
          ONDREL_FE64_ROW("24", "r11", "r12", "r13", "r14", "r15")

              ONDREL_FE64_REDUCE
      :
      : [a] "r"(a.v.data()), [b] "r"(b.v.data()), [r] "r"(r.v.data())
      : ONDREL_FE64_CLOBBERS);
}

// r = a * a: the six cross products once, doubled, then the four squares added.
inline void fe64_sq(Fe64& r, const Fe64& a) {
  __asm__(
      // Cross products a_i a_j (i < j) into r9 .. r14.
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq 8(%[a]), %%r9, %%r10\n\t"
      "mulxq 16(%[a]), %%rax, %%r11\n\t"
      "addq %%rax, %%r10\n\t"
      "mulxq 24(%[a]), %%rax, %%r12\n\t"
      "adcq %%rax, %%r11\n\t"
      "adcq $0, %%r12\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "xorl %%ecx, %%ecx\n\t"
      "mulxq 16(%[a]), %%rax, %%rcx\n\t"
      "adcxq %%rax, %%r11\n\t"
      "adoxq %%rcx, %%r12\n\t"
      "mulxq 24(%[a]), %%rax, %%r13\n\t"
      "adcxq %%rax, %%r12\n\t"
      "movq $0, %%rcx\n\t"
      "adoxq %%rcx, %%r13\n\t"
      "adcxq %%rcx, %%r13\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq 24(%[a]), %%rax, %%r14\n\t"
      "addq %%rax, %%r13\n\t"
      "adcq $0, %%r14\n\t"
      // Doubled, the top bit into r15.
      "xorl %%r15d, %%r15d\n\t"
      "addq %%r9, %%r9\n\t"
      "adcq %%r10, %%r10\n\t"
      "adcq %%r11, %%r11\n\t"
      "adcq %%r12, %%r12\n\t"
      "adcq %%r13, %%r13\n\t"
      "adcq %%r14, %%r14\n\t"
      "adcq $0, %%r15\n\t"
      // The squares a_i^2 at limbs 2i and 2i + 1, on one carry chain (mulx and mov
      // leave the flags alone).
      "movq 0(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%r8, %%rcx\n\t"
      "addq %%rcx, %%r9\n\t"
      "movq 8(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%rax, %%rcx\n\t"
      "adcq %%rax, %%r10\n\t"
      "adcq %%rcx, %%r11\n\t"
      "movq 16(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%rax, %%rcx\n\t"
      "adcq %%rax, %%r12\n\t"
      "adcq %%rcx, %%r13\n\t"
      "movq 24(%[a]), %%rdx\n\t"
      "mulxq %%rdx, %%rax, %%rcx\n\t"
      "adcq %%rax, %%r14\n\t"
      "adcq %%rcx, %%r15\n\t"

      ONDREL_FE64_REDUCE
      :
      : [a] "r"(a.v.data()), [r] "r"(r.v.data())
      : ONDREL_FE64_CLOBBERS);
}

#undef ONDREL_FE64_REDUCE
#undef ONDREL_FE64_ROW
#undef ONDREL_FE64_CLOBBERS

// a + b or a - b (OP and OPC the instruction without and with the carry) in r0 .. r3:
// the carry or borrow out of 2^256 comes back as 38 added or taken off, and the rare
// second one as 38 more, which cannot carry again.
#define ONDREL_FE64_ADD_SUB(OP, OPC)                                                                \
  std::uint64_t r0 = a.v[0], r1 = a.v[1], r2 = a.v[2], r3 = a.v[3], t;                              \
  __asm__(OP " 0(%[b]), %[r0]\n\t" OPC " 8(%[b]), %[r1]\n\t" OPC " 16(%[b]), %[r2]\n\t" OPC         \
             " 24(%[b]), %[r3]\n\t"                                                                 \
             "sbbq %[t], %[t]\n\tandq $38, %[t]\n\t" OP " %[t], %[r0]\n\t" OPC " $0, %[r1]\n\t" OPC \
             " $0, %[r2]\n\t" OPC                                                                   \
             " $0, %[r3]\n\t"                                                                       \
             "sbbq %[t], %[t]\n\tandq $38, %[t]\n\t" OP " %[t], %[r0]\n\t"                          \
          : [r0] "+&r"(r0), [r1] "+&r"(r1), [r2] "+&r"(r2), [r3] "+&r"(r3), [t] "=&r"(t)            \
          : [b] "r"(b.v.data()), "m"(b.v)                                                           \
          : "cc");                                                                                  \
  store(r, r0, r1, r2, r3)

// r = a + b.
inline void fe64_add(Fe64& r, const Fe64& a, const Fe64& b) { ONDREL_FE64_ADD_SUB("addq", "adcq"); }

// r = a - b.
inline void fe64_sub(Fe64& r, const Fe64& a, const Fe64& b) { ONDREL_FE64_ADD_SUB("subq", "sbbq"); }

#undef ONDREL_FE64_ADD_SUB

// r = a * k for k below 2^32 (the ladder's 121665): four products and one fold of the
// top limb times 38.
inline void fe64_mul_small(Fe64& r, const Fe64& a, std::uint32_t k) {
  using field64_detail::u128;
  u128 acc = 0;
  std::uint64_t l[4];
  for (int i = 0; i < 4; ++i) {
    acc += static_cast<u128>(a.v[i]) * k;
    l[i] = static_cast<std::uint64_t>(acc);
    acc >>= 64;
  }
  // The top limb is below 2^32, so top * 38 plus limb 0 carries at most once through.
  acc = static_cast<u128>(l[0]) + static_cast<std::uint64_t>(acc) * 38;
  std::uint64_t o[4];
  for (int i = 0; i < 4; ++i) {
    if (i > 0) acc += l[i];
    o[i] = static_cast<std::uint64_t>(acc);
    acc >>= 64;
  }
  // A last carry leaves limbs 1 .. 3 zero and limb 0 small: 38 more cannot carry.
  store(r, o[0] + static_cast<std::uint64_t>(acc) * 38, o[1], o[2], o[3]);
}

// In place: swaps a and b when bit is 1, with the same operations either way.
inline void fe64_cswap(Fe64& a, Fe64& b, std::uint64_t bit) {
  const std::uint64_t mask = 0 - (bit & 1);
  std::uint64_t x[4], y[4];
  for (int i = 0; i < 4; ++i) {
    const std::uint64_t t = mask & (a.v[i] ^ b.v[i]);
    x[i] = a.v[i] ^ t;
    y[i] = b.v[i] ^ t;
  }
  store(a, x[0], x[1], x[2], x[3]);
  store(b, y[0], y[1], y[2], y[3]);
}

// Element from 32 little-endian bytes, bit 255 ignored.
Fe64 fe64_unpack(const std::array<std::uint8_t, 32>& s);

// Canonical 32-byte little-endian encoding, value reduced into 0 .. p - 1.
std::array<std::uint8_t, 32> fe64_pack(const Fe64& a);

// r = a^(p-2): the inverse of a, and 0 for 0.
void fe64_inv(Fe64& r, const Fe64& a);

#endif

}  // namespace crypto
