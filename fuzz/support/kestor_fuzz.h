#pragma once
// What the kestor fuzz targets share: a property check that stops with its line, the engine's
// lines silenced, program files read whole, one element applied into a fresh buffer, and the
// properties every disassembler keeps over an image it parsed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/logging.h"
#include "components/kestor/disassembler.h"
#include "components/kestor/kestor_apply.h"
#include "components/kestor/patch_reader.h"
#include "tests/support/kestor_patch_writer.h"

namespace kestor_fuzz {

using Bytes = std::vector<std::uint8_t>;

// Stops the fuzzer with the file and line of the broken property.
inline void Check(bool ok, const char* file, int line) {
  if (ok) return;
  std::fprintf(stderr, "%s:%d: property broken\n", file, line);
  std::abort();
}

// Engine lines would go to the update log, which is not open in a fuzzer: they are dropped.
inline void DropEngineLines() {
  logging::gLogMessageHandler = [](int, const char*, int, std::size_t, const std::string&) { return true; };
  logging::gLogPrintHook = [](const char*) {};
}

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The patch's first element applied to old_image into *out, which gets the patch's new size.
inline bool ApplyFirstElement(const kestor::Patch& patch, const Bytes& old_image, Bytes* out) {
  const kestor::PatchElement& e = patch.elements[0];
  out->assign(patch.header.new_size, 0);
  return kestor::ApplyElement(e.match.exe_type, kestor::ConstBufferView(old_image.data(), e.match.old_length), e,
                              kestor::MutableBufferView(out->data(), out->size()));
}

#define check(ok) ::kestor_fuzz::Check((ok), __FILE__, __LINE__)

// Every reference of every group lies inside the parsed image, its whole width included.
inline void CheckReferencesInsideImage(kestor::Disassembler& dis, const std::vector<kestor::ReferenceGroup>& groups) {
  const kestor::offset_t image_size = dis.size();
  for (const kestor::ReferenceGroup& group : groups) {
    std::unique_ptr<kestor::ReferenceReader> reader = group.GetReader(0, image_size, dis);
    check(reader != nullptr);
    while (std::optional<kestor::Reference> ref = reader->GetNext()) {
      check(ref->location < image_size && image_size - ref->location >= group.width());
    }
  }
}

// One copy of the whole image and a zero delta per reference rebuild the image byte for byte.
inline void CheckIdentityPatchRebuilds(kestor::Disassembler& dis, const Bytes& image) {
  const kestor_support::Bytes bytes = kestor_support::IdentityPatch(dis, 0);
  std::optional<kestor::Patch> patch = kestor::ReadPatch(kestor::ConstBufferView(bytes.data(), bytes.size()));
  check(patch.has_value());
  Bytes rebuilt;
  check(ApplyFirstElement(*patch, image, &rebuilt));
  check(std::memcmp(rebuilt.data(), image.data(), dis.size()) == 0);
}

// An element of `type` over the first image_size bytes whose streams are the fuzzer's tail: when
// it reads, applying it twice gives the same outcome.
inline void CheckTailElementRepeats(const Bytes& image, kestor::offset_t image_size, kestor::ExecutableType type,
                                    const std::uint8_t* tail, std::size_t tail_size) {
  kestor_support::PatchWriter p;
  p.BeginOneElement(image_size, 0, image_size, 0, type);
  p.Append(tail, tail_size);
  std::optional<kestor::Patch> patch = kestor::ReadPatch(kestor::ConstBufferView(p.bytes().data(), p.bytes().size()));
  if (!patch) return;
  Bytes first, second;
  const bool ok1 = ApplyFirstElement(*patch, image, &first);
  const bool ok2 = ApplyFirstElement(*patch, image, &second);
  check(ok1 == ok2 && first == second);
}

}  // namespace kestor_fuzz
