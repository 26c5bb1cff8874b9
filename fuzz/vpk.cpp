// The update archive on arbitrary input: opening, the index and item lookups, the
// signature block, the product information and the version parser, and decoding the
// items found. No crash, no read outside the archive, and these properties:
// a found item has the name asked for, a non-empty one is never handed out twice, and
// version comparison is antisymmetric.
#include <nss.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "fuzz/support/check.h"
#include "updater/accepted_channels.h"
#include "updater/archive_checks.h"
#include "updater/certificates.h"
#include "updater/version_compare.h"
#include "updater/vpk_archive.h"
#include "updater/vpk_extract.h"
#include "updater/vpk_index.h"
#include "updater/vpk_product_info.h"
#include "updater/vpk_signature.h"

namespace {

using fuzz_support::check;

// The archive file lives in memory (a memfd reached through a symbolic link named
// "update.vpk"): rewriting a file on disk thousands of times a second is slow.
struct Scratch {
  std::string dir;
  int memfd = -1;
  std::FILE* sink = nullptr;
  Scratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fuzz_vpk_XXXXXX").string();
    memfd = ::memfd_create("update.vpk", 0);
    sink = std::fopen("/dev/null", "wb");
    if (::mkdtemp(pattern.data()) == nullptr || memfd < 0) return;
    std::string target = "/proc/self/fd/";
    target += std::to_string(memfd);
    if (::symlink(target.c_str(), (pattern + "/update.vpk").c_str()) == 0) dir = pattern;
  }
  ~Scratch() {
    if (sink != nullptr) std::fclose(sink);
    if (memfd >= 0) ::close(memfd);
    std::error_code ec;
    if (!dir.empty()) std::filesystem::remove_all(dir, ec);
  }
  bool write(const std::string& bytes) const {
    return ::ftruncate(memfd, 0) == 0 &&
           ::pwrite(memfd, bytes.data(), bytes.size(), 0) == static_cast<ssize_t>(bytes.size());
  }
};

// Items looked up: the manifest, and a name taken from the input's end.
void look_up_and_decode(const Scratch& s, const std::uint8_t* data, std::size_t size) {
  std::string names[2] = {"updatev3.manifest", ""};
  std::size_t tail = size < 12 ? size : 12;
  names[1].assign(reinterpret_cast<const char*>(data + size - tail), tail);
  names[1] = names[1].c_str();  // up to its first NUL
  for (const std::string& name : names) {
    VpkItem* item = vpk_find_item(vpk_archive(), name.c_str());
    if (item == nullptr) continue;
    check(std::strcmp(item->name(), name.c_str()) == 0);
    if (item->length != 0) check(vpk_find_item(vpk_archive(), name.c_str()) == nullptr);
    // Small items only: a large one is just longer, not different.
    if (item->length <= 4096) (void)vpk_extract_item(item, s.sink);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scratch scratch;
  static const bool nss = NSS_NoDB_Init(nullptr) == SECSuccess;
  check(nss && !scratch.dir.empty() && scratch.sink != nullptr);

  // Version texts: the input split at its first NUL.
  std::string a(reinterpret_cast<const char*>(data), size);
  std::string b = a.find('\0') != std::string::npos ? a.substr(a.find('\0') + 1) : std::string();
  a = a.c_str();
  b = b.c_str();
  check(compare_versions(a.c_str(), b.c_str()) == -compare_versions(b.c_str(), a.c_str()));

  // Random bytes rarely start with the magic: an input whose first byte is even gets it.
  std::string archive;
  if (size > 0 && data[0] % 2 == 0) archive = "VPK1";
  if (size > 1) archive.append(reinterpret_cast<const char*>(data + 1), size - 1);
  check(scratch.write(archive));
  check(vpk_open(scratch.dir.c_str()) == OK);
  check(vpk_archive()->size == archive.size());

  VpkCertificate cert = vpk_built_in_certificate(1);
  (void)vpk_verify_signatures(vpk_archive(), cert.der, cert.size);
  VpkProductInfo info{};
  if (vpk_read_product_info(vpk_archive(), &info) == 0) {
    check(std::strlen(info.channel) < sizeof info.channel && std::strlen(info.version) < sizeof info.version);
    (void)channel_accepted("release, beta", info.channel);
    (void)compare_versions(kUpdaterVersion, info.version);
  }
  look_up_and_decode(scratch, reinterpret_cast<const std::uint8_t*>(archive.data()), archive.size());
  // Left open: the next open replaces it and keeps the decoding buffers; exit closes it.
  return 0;
}
