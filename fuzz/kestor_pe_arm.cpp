// "Px86", "Px64", "EA32" and "EA64" elements over mutated programs that the cross binutils
// assemble and link when the fuzzer starts.
//
// An input is a program choice (its first byte), a list of byte edits to that program, and the
// rest: a tail of references and patch streams. For every edited program that parses:
//   - every reference of every group lies inside the image;
//   - readers over a range taken from the tail yield only locations inside it (the relocation
//     readers of ELF, which widen a range to whole entries, only inside the image);
//   - an identity patch rebuilds the image byte for byte;
//   - writers given references from the tail (locations anywhere, past the end included) and
//     mixers given locations from the tail stay inside their buffers;
//   - an element made of the tail is read and applied twice with the same outcome.
// Nothing may crash, read outside a buffer or stop on a check.
#include <unistd.h>

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

// One program of each kind: branches of every form the disassembler knows, absolute addresses
// in data (and, for x86, in code).
struct Kind {
  kestor::ExecutableType type;
  const char* tools;
  const char* link;
  const char* source;
};

const Kind kKinds[] = {
    {kestor::kExeTypeWin32X86, "i686-w64-mingw32-", "--dynamicbase -e _start",
     ".text\n.globl _start\n_start:\n  call f1\n  {disp32} jne f2\n  movl $f1, %eax\n  {disp32} jmp f0\n"
     "f0:\n  call f2\n  ret\nf1:\n  movl $ptrs, %ecx\n  ret\nf2:\n  ret\n"
     ".data\nptrs:\n  .long f0, f1, f2, ptrs\n"},
    {kestor::kExeTypeWin32X64, "x86_64-w64-mingw32-", "--dynamicbase -e _start",
     ".text\n.globl _start\n_start:\n  call f1\n  {disp32} jne f2\n  movabs $f1, %rax\n  lea ptrs(%rip), %rax\n"
     "  call *ptrs+8(%rip)\n  mov %eax, buf(%rip)\nf0:\n  call f2\n  ret\nf1:\n  {disp32} jmp f0\nf2:\n  ret\n"
     ".data\nptrs:\n  .quad f0, f1, f2, ptrs\n.bss\nbuf:\n  .skip 64\n"},
    {kestor::kExeTypeElfAArch32, "arm-linux-gnueabihf-", "-pie --no-dynamic-linker",
     ".syntax unified\n.section .arm_text,\"ax\",%progbits\n.arm\n.globl _start\n_start:\n  bl a1\n  beq a1\n"
     "  blx t0\n  b a1\na1:\n  add r0, r0, #1\n  bx lr\n"
     ".section .thumb_text,\"ax\",%progbits\n.thumb\n.thumb_func\nt0:\n  cmp r0, #1\n  beq.n 1f\n  b.n 1f\n"
     "1:\n  bne.w t1\n  b.w t1\n  bl t1\n  blx a1\n.thumb_func\nt1:\n  bx lr\n"
     ".data\n.p2align 2\nptrs:\n  .long _start, a1, t0, t1\n"},
    {kestor::kExeTypeElfAArch64, "aarch64-linux-gnu-", "-pie --no-dynamic-linker",
     ".text\n.globl _start\n_start:\n  bl f1\n  b.eq f1\n  cbz x0, f1\n  cbnz w1, f2\n  tbz w2, #3, f2\n"
     "  tbnz x3, #40, f1\n  b f2\nf1:\n  add x0, x0, #1\n  ret\nf2:\n  ret\n"
     ".data\n.p2align 3\nptrs:\n  .quad _start, f1, f2\n"},
};
constexpr std::size_t kKindCount = sizeof(kKinds) / sizeof(kKinds[0]);

const std::vector<Bytes>& BasePrograms() {
  static const std::vector<Bytes> programs = [] {
    std::vector<Bytes> built;
    char dir[] = "/tmp/kestor_pe_arm_fuzz_XXXXXX";
    check(::mkdtemp(dir) != nullptr);
    const std::string folder = dir;
    for (const Kind& kind : kKinds) {
      const std::string source = folder + "/p.s";
      std::FILE* f = std::fopen(source.c_str(), "w");
      check(f != nullptr);
      std::fputs(kind.source, f);
      std::fclose(f);
      std::string assemble = kind.tools;
      assemble += "as " + source + " -o " + folder + "/p.o";
      std::string link = kind.tools;
      link += "ld ";
      link += kind.link;
      link += " " + folder + "/p.o -o " + folder + "/p 2>/dev/null";
      check(std::system(assemble.c_str()) == 0 && std::system(link.c_str()) == 0);
      built.push_back(kestor_fuzz::ReadFileBytes(folder + "/p"));
      check(built.back().size() > 256);
    }
    std::filesystem::remove_all(folder);
    return built;
  }();
  return programs;
}

// Little-endian u32 values taken from the tail in turn, 0 once it is used up.
class TailWords {
 public:
  TailWords(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t Next() {
    std::uint32_t v = 0;
    if (size_ - pos_ >= 4) std::memcpy(&v, data_ + pos_, 4);
    pos_ = std::min(size_, pos_ + 4);
    return v;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

bool IsElf(kestor::ExecutableType type) {
  return type == kestor::kExeTypeElfAArch32 || type == kestor::kExeTypeElfAArch64;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kestor_fuzz::DropEngineLines();
  if (size < 2) return 0;
  const Kind& kind = kKinds[data[0] % kKindCount];
  Bytes image = BasePrograms()[data[0] % kKindCount];

  // Edits: up to data[1] of {16-bit place, value}; places beyond the image wrap.
  std::size_t pos = 2;
  for (unsigned n = data[1]; n > 0 && pos + 3 <= size; --n, pos += 3) {
    image[(data[pos] | data[pos + 1] << 8) % image.size()] = data[pos + 2];
  }
  const std::uint8_t* tail = data + pos;
  const std::size_t tail_size = size - pos;

  std::unique_ptr<kestor::Disassembler> dis =
      kestor::MakeDisassemblerForType(kestor::ConstBufferView(image.data(), image.size()), kind.type);
  if (dis == nullptr) return 0;
  const kestor::offset_t image_size = dis->size();
  check(image_size <= image.size());
  const std::vector<kestor::ReferenceGroup> groups = dis->MakeReferenceGroups();

  kestor_fuzz::CheckReferencesInsideImage(*dis, groups);

  TailWords words(tail, tail_size);
  kestor::offset_t lo = words.Next() % (image_size + 1);
  kestor::offset_t hi = words.Next() % (image_size + 1);
  if (lo > hi) std::swap(lo, hi);
  for (const kestor::ReferenceGroup& group : groups) {
    std::unique_ptr<kestor::ReferenceReader> reader = group.GetReader(lo, hi, *dis);
    if (reader == nullptr) continue;  // a bound inside an abs32 body
    const bool widened = IsElf(kind.type) && group.type_tag() == 0;
    while (std::optional<kestor::Reference> ref = reader->GetNext()) {
      check(ref->location < image_size && (widened || (lo <= ref->location && ref->location < hi)));
    }
  }

  kestor_fuzz::CheckIdentityPatchRebuilds(*dis, image);

  // Writers and mixers with locations from the tail, some past the image's end; a buffer of
  // exactly the image's size shows any write outside it.
  {
    Bytes copy(image.begin(), image.begin() + image_size);
    const kestor::MutableBufferView view(copy.data(), copy.size());
    const kestor::ConstBufferView old_view(image.data(), image_size);
    for (const kestor::ReferenceGroup& group : groups) {
      std::unique_ptr<kestor::ReferenceWriter> writer = group.GetWriter(view, *dis);
      std::unique_ptr<kestor::ReferenceMixer> mixer = group.GetMixer(old_view, view, *dis);
      for (int i = 0; i < 4; ++i) {
        const kestor::offset_t location = words.Next() % (image_size + 8);
        const kestor::offset_t target = words.Next();
        writer->PutNext({location, target});
        if (mixer != nullptr) {
          const kestor::ConstBufferView mixed = mixer->Mix(target % (image_size + 8), location);
          check(mixed.empty() || mixed.size() == group.width());
        }
      }
    }
  }

  kestor_fuzz::CheckTailElementRepeats(image, image_size, kind.type, tail, tail_size);
  return 0;
}
