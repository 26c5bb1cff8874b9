#pragma once
// Which instruction-set extensions the ciphers and hashes may use on this CPU.
//
// The hashes and AES have a portable path and a path through the CPU's SHA or AES
// instructions; ChaCha20 and Poly1305 have a portable path and vector paths up to
// AVX-512 (VectorIsa below). All give identical results; the fastest the CPU has is
// taken. Tests ask for each path explicitly so that all stay checked.

#include <cstdint>

namespace crypto {

struct CpuFeatures {
  bool sha = false;         // SHA-1 and SHA-256 instructions (with SSSE3 and SSE4.1)
  bool aes = false;         // AES round instructions (with SSSE3 and SSE4.1)
  bool avx2 = false;        // 256-bit integer vectors, enabled by the operating system
  bool ssse3 = false;       // byte shuffles on 128-bit vectors
  bool avx512 = false;      // AVX-512 F, BW and VL, with the 512-bit registers enabled by the operating system
  bool avx512ifma = false;  // 52-bit integer multiply-add on 512-bit vectors (with avx512)
  bool bmi2 = false;        // mulx and the flagless shifts and rotations
  bool adx = false;         // adcx and adox, two independent carry chains
};

// Detected on first use and fixed for the life of the process. The environment
// variable ONDREL_CPU_CAP, read once at detection, turns features off so that tests and
// benchmarks can hold this CPU to a lesser one: a comma list of avx512, ifma, avx2,
// ssse3, sha, aes and bmi2adx. A feature turned off also turns off those built on it.
const CpuFeatures& cpu_features();

// Turns off in `f` the features a cap list such as "avx512,ifma" names (null: none),
// and those that need them. Unknown names are ignored.
void apply_cpu_cap(CpuFeatures& f, const char* cap);

// Which implementation an operation runs on.
enum class Engine : std::uint8_t {
  Best,      // the CPU instructions when present, else portable code
  Portable,  // plain C++ on every CPU
};

// The vector widths ChaCha20 and Poly1305 can run at, narrowest first; each level
// needs the instructions of those below it. Every level gives the same bytes.
enum class VectorIsa : std::uint8_t {
  Portable,  // plain C++
  Ssse3,     // four ChaCha20 blocks at a time in 128-bit vectors
  Avx2,      // eight blocks in 256-bit vectors
  Avx512,    // sixteen blocks in 512-bit vectors; Poly1305 eight blocks at a time where the CPU has IFMA
};

// The widest level this CPU runs, detected once.
VectorIsa best_vector_isa();
// Whether this CPU runs `isa`. Operations asked for a level the CPU lacks run at
// the best one it has instead.
bool vector_isa_supported(VectorIsa isa);
// The level an Engine stands for.
VectorIsa vector_isa_for(Engine engine);
const char* to_string(VectorIsa isa);

}  // namespace crypto
