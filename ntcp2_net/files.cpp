#include "ntcp2_net/files.h"

#include <algorithm>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

namespace {
// Paths longer than the glue takes are refused by the glue itself, so the length may
// be clamped here without a path ever being cut.
std::int32_t glue_len(const Bytes& b) {
  return static_cast<std::int32_t>(std::min<std::size_t>(b.size(), 0x7fffffff));
}
}  // namespace

Result<Bytes> read_file_bytes(std::string_view path) {
  Bytes name = encoding::string_to_utf8_bytes(path);
  std::int32_t size = ondrel_i2p_net_file_size(name.data(), glue_len(name));
  if (size < 0) return fail(NetError::Io, msg("stat(", path, ") failed: ", last_os_error()));
  if (size == 0) return Bytes{};
  Bytes content(static_cast<std::size_t>(size));
  std::int32_t got = ondrel_i2p_net_read_file(name.data(), glue_len(name), content.data(), size);
  if (got < 0) return fail(NetError::Io, msg("read(", path, ") failed: ", last_os_error()));
  // A file that shrank meanwhile gives the shorter content; one that grew is cut at
  // the size seen by stat.
  content.resize(static_cast<std::size_t>(std::min(got, size)));
  return content;
}

Result<std::vector<std::string>> list_dir(std::string_view folder) {
  constexpr std::size_t kListingCapacity = 65536;
  const Bytes name = encoding::string_to_utf8_bytes(folder);
  Bytes listing(kListingCapacity);
  const std::int32_t n = ondrel_i2p_net_list_dir(name.data(), glue_len(name), listing.data(),
                                                 static_cast<std::int32_t>(listing.size()));
  if (n < 0) return fail(NetError::Io, msg("opendir(", folder, ") failed: ", last_os_error()));
  auto text = encoding::utf8_bytes_to_string(ByteView(listing.data(), static_cast<std::size_t>(n)));
  if (!text) return fail(NetError::Io, "invalid UTF-8 in directory listing");
  std::vector<std::string> names;
  std::string_view rest = *text;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    if (lf != 0) names.emplace_back(rest.substr(0, lf));
    rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
  }
  return names;
}

Result<void> mkdir_p(std::string_view path) {
  Bytes name = encoding::string_to_utf8_bytes(path);
  if (ondrel_i2p_net_mkdir_p(name.data(), glue_len(name)) != 0) {
    return fail(NetError::Io, msg("mkdir_p(", path, ") failed: ", last_os_error()));
  }
  return {};
}

}  // namespace ntcp2_net
