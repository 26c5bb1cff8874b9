// QBDIFF10 patches on arbitrary input: the header check and the application never crash,
// never read outside the source or the blocks, and a success writes exactly the header's
// destination length. The first input byte sizes the source (the rest is the patch),
// so the fuzzer can reach every bound.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/support/check.h"
#include "updater/qbdiff.h"

namespace {

using fuzz_support::check;

// A stream with `n` bytes of `data`, at its start; it has a descriptor, as a patch file does.
std::FILE* stream_of(const std::uint8_t* data, std::size_t n) {
  const int fd = ::memfd_create("qbdiff", 0);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "w+b");
  if (f == nullptr) {
    ::close(fd);
    return nullptr;
  }
  if (n > 0 && std::fwrite(data, 1, n, f) != n) {
    std::fclose(f);
    return nullptr;
  }
  std::rewind(f);
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t source_length = data[0];
  std::vector<std::uint8_t> source(source_length);
  for (std::size_t i = 0; i < source_length; ++i) source[i] = static_cast<std::uint8_t>(i * 7);

  std::FILE* patch = stream_of(data + 1, size - 1);
  std::FILE* out = stream_of(nullptr, 0);
  if (patch != nullptr && out != nullptr) {
    QbdiffPatcher patcher;
    if (patcher.ReadHeader(patch) == OK) {
      const UpdaterError e = patcher.Apply(source.data(), source.size(), out);
      if (e == OK) {
        std::fflush(out);
        check(std::ftell(out) == static_cast<long>(patcher.DestSize()));
      }
    }
  }
  if (patch != nullptr) std::fclose(patch);
  if (out != nullptr) std::fclose(out);
  return 0;
}
