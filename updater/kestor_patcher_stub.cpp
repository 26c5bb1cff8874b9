// TEMPORARY STUB until the kestor engine and its glue land: this KestorPatcher recognises
// no patch at all. ReadHeader fails with READ_ERROR, which is what a patch that is neither
// QBDIFF10 nor a valid kestor patch gets from the real glue, so callers and their tests
// already see the final behaviour for such patches. The glue replaces this file by its own
// definition of create_kestor_patcher.
#include "updater/kestor_patcher.h"

namespace {

class KestorPatcher final : public Patcher {
 public:
  UpdaterError ComputeCrc(const std::uint8_t*, std::size_t, std::uint32_t* crc) override {
    *crc = 0;
    return OK;
  }
  std::uint32_t SourceSize() const override { return 0; }
  std::uint32_t DestSize() const override { return 0; }
  std::uint32_t SourceCrc() const override { return 0; }
  UpdaterError Apply(const std::uint8_t*, std::size_t, std::FILE*) override { return READ_ERROR; }
  UpdaterError Close() override { return OK; }
  UpdaterError ReadHeader(std::FILE*) override { return READ_ERROR; }
};

}  // namespace

std::unique_ptr<Patcher> create_kestor_patcher() { return std::make_unique<KestorPatcher>(); }
