#include "ntcp2_net/files.h"

#include <algorithm>

#include "encoding/text.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"

namespace ntcp2_net {

namespace {
// Paths longer than the glue takes are refused by the glue itself, so the length may
// be clamped here without a path ever being cut.
std::int32_t glue_len(const Bytes& b) { return static_cast<std::int32_t>(std::min<std::size_t>(b.size(), 0x7fffffff)); }
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
  const std::int32_t n =
      ondrel_i2p_net_list_dir(name.data(), glue_len(name), listing.data(), static_cast<std::int32_t>(listing.size()));
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

namespace {
std::string below_name(std::string_view base, std::string_view rel) {
  std::string out(base);
  out += '/';
  out += rel;
  return out;
}
// Counts beyond the glue's 32-bit range are cut to a length the glue refuses.
std::int32_t glue_count(std::size_t n) { return static_cast<std::int32_t>(std::min<std::size_t>(n, 0x7fffffff)); }
}  // namespace

Result<void> mkdir_below(std::string_view base, std::string_view rel) {
  const Bytes b = encoding::string_to_utf8_bytes(base);
  const Bytes r = encoding::string_to_utf8_bytes(rel);
  if (ondrel_i2p_net_mkdir_below(b.data(), glue_len(b), r.data(), glue_len(r)) != 0) {
    return fail(NetError::Io, msg("mkdir_p(", below_name(base, rel), ") failed: ", last_os_error()));
  }
  return {};
}

Result<void> write_file_below(std::string_view base, std::string_view rel, std::int64_t offset, ByteView data) {
  const Bytes b = encoding::string_to_utf8_bytes(base);
  const Bytes r = encoding::string_to_utf8_bytes(rel);
  if (data.size() > 0x7fffffff || ondrel_i2p_net_write_file_below(b.data(), glue_len(b), r.data(), glue_len(r), offset,
                                                                  data.data(), glue_count(data.size())) != 0) {
    const std::string why = data.size() > 0x7fffffff ? std::string("invalid write_file_at arguments") : last_os_error();
    return fail(NetError::Io, msg("write_file_at(", below_name(base, rel), ") failed: ", why));
  }
  return {};
}

Result<std::size_t> read_file_below(std::string_view base, std::string_view rel, std::int64_t offset,
                                    std::span<std::uint8_t> buf) {
  const Bytes b = encoding::string_to_utf8_bytes(base);
  const Bytes r = encoding::string_to_utf8_bytes(rel);
  const std::int32_t n = buf.size() > 0x7fffffff
                             ? -1
                             : ondrel_i2p_net_read_file_below(b.data(), glue_len(b), r.data(), glue_len(r), offset,
                                                              buf.data(), glue_count(buf.size()));
  if (n < 0) {
    const std::string why = buf.size() > 0x7fffffff ? std::string("invalid read_file_at arguments") : last_os_error();
    return fail(NetError::Io, msg("read_file_at(", below_name(base, rel), ") failed: ", why));
  }
  return static_cast<std::size_t>(n);
}

}  // namespace ntcp2_net
