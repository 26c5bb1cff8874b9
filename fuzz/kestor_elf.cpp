// "Ex86" and "Ex64" elements over mutated ELF programs built by gcc when the fuzzer starts.
//
// An input is a base choice (its first byte: 32- or 64-bit program), a list of byte edits to
// that program, and the rest: a patch tail. For every edited program that parses:
//   - every reference of every group lies inside the image (sections that overlap after an
//     edit may repeat references, so their order is not a property);
//   - readers over a range taken from the input do not stop the process;
//   - an identity patch (one copy of the whole image, a zero delta per reference, the targets
//     beyond the image as extra targets) rebuilds the image byte for byte;
//   - an element made of the patch tail is read and applied twice with the same outcome.
// Nothing may crash, read outside a buffer or stop on a check.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components/kestor/disassembler_factory.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "fuzz/support/kestor_fuzz.h"

namespace {

using kestor_fuzz::Bytes;

// Calls through tables, a switch, loops, strings, globals in .data and .bss, a thread-local.
constexpr char kProgram[] = R"(
#include <stdio.h>
__thread int tls;
int counters[16];
static const char *const names[] = {"a", "bb", "ccc", "dddd"};
__attribute__((noinline)) static int f0(int x) { return x * 3 + counters[x & 15]; }
__attribute__((noinline)) static int f1(int x) { tls += x; return f0(x + 1) ^ (int)names[x & 3][0]; }
__attribute__((noinline)) static int f2(int x) {
  switch (x & 7) {
    case 0: return f1(x); case 1: return f0(x) + 2; case 2: return counters[3];
    case 3: return f1(x - 1) * 2; case 4: return (int)names[1][1]; default: return x;
  }
}
int (*const table[])(int) = {f0, f1, f2};
int main(int argc, char **argv) {
  (void)argv;
  int r = 0;
  for (int i = 0; i < 40; ++i) { r += table[(i + argc) % 3](i); if (r & 1) counters[i & 15] ^= r; }
  printf("%d %d\n", r, tls);
  return 0;
}
)";

struct Bases {
  Bytes x86, x64;
};

const Bases& BasePrograms() {
  static const Bases bases = [] {
    Bases b;
    char dir[] = "/tmp/kestor_elf_fuzz_XXXXXX";
    check(::mkdtemp(dir) != nullptr);
    const std::string source = std::string(dir) + "/p.c";
    std::FILE* f = std::fopen(source.c_str(), "w");
    check(f != nullptr);
    std::fputs(kProgram, f);
    std::fclose(f);
    const std::string gcc = "gcc -O2 -fPIE -pie -w " + source + " -o " + dir;
    check(std::system((gcc + "/p32 -m32").c_str()) == 0);
    check(std::system((gcc + "/p64").c_str()) == 0);
    b.x86 = kestor_fuzz::ReadFileBytes(std::string(dir) + "/p32");
    b.x64 = kestor_fuzz::ReadFileBytes(std::string(dir) + "/p64");
    std::filesystem::remove_all(dir);
    check(b.x86.size() > 1000 && b.x64.size() > 1000);
    return b;
  }();
  return bases;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestor_fuzz::DropEngineLines();
  if (size < 2) return 0;
  const bool x64 = (data[0] & 1) != 0;
  const kestor::ExecutableType type = x64 ? kestor::kExeTypeElfX64 : kestor::kExeTypeElfX86;
  Bytes image = x64 ? BasePrograms().x64 : BasePrograms().x86;

  // Edits: up to data[1] of {24-bit place, value}. The top bits of the place favour the first
  // kilobyte and the last two (the headers and the section table).
  std::size_t pos = 2;
  for (unsigned n = data[1]; n > 0 && pos + 4 <= size; --n, pos += 4) {
    const std::uint32_t place = data[pos] | data[pos + 1] << 8 | (data[pos + 2] & 0x3F) << 16;
    std::size_t at;
    switch (data[pos + 2] >> 6) {
      case 0: at = place % std::min<std::size_t>(image.size(), 1024); break;
      case 1: at = image.size() - 1 - place % std::min<std::size_t>(image.size(), 2048); break;
      default: at = place % image.size(); break;
    }
    image[at] = data[pos + 3];
  }
  const std::uint8_t* tail = data + pos;
  const std::size_t tail_size = size - pos;

  std::unique_ptr<kestor::Disassembler> dis =
      kestor::MakeDisassemblerForType(kestor::ConstBufferView(image.data(), image.size()), type);
  if (dis == nullptr) return 0;
  const kestor::offset_t image_size = dis->size();
  check(image_size <= image.size());

  // Every reference inside the image.
  const std::vector<kestor::ReferenceGroup> groups = dis->MakeReferenceGroups();
  kestor_fuzz::CheckReferencesInsideImage(*dis, groups);
  // Readers over a range of the input's choosing.
  if (tail_size >= 8) {
    kestor::offset_t lo, hi;
    std::memcpy(&lo, tail, 4);
    std::memcpy(&hi, tail + 4, 4);
    lo %= image_size + 1;
    hi %= image_size + 1;
    if (lo > hi) std::swap(lo, hi);
    for (const kestor::ReferenceGroup& group : groups) {
      std::unique_ptr<kestor::ReferenceReader> reader = group.GetReader(lo, hi, *dis);
      if (reader == nullptr) continue;  // a bound inside an abs32 body
      while (std::optional<kestor::Reference> ref = reader->GetNext()) check(ref->location < image_size);
    }
  }

  // The identity patch.
  kestor_fuzz::CheckIdentityPatchRebuilds(*dis, image);

  // An element whose streams are the input's tail.
  kestor_fuzz::CheckTailElementRepeats(image, image_size, type, tail, tail_size);
  return 0;
}
