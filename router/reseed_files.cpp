// Bootstrap from RouterInfo files: a single file (--peer) or every file of a folder
// (--peer-dir).
#include <string>
#include <vector>

#include "encoding/reader.h"
#include "encoding/text.h"
#include "ntcp2_net/files.h"
#include "ntcp2_net/glue.h"
#include "ntcp2_net/os_error.h"
#include "router/router.h"

namespace router {

namespace {

constexpr std::size_t kListingCapacity = 65536;

}  // namespace

Result<common::RouterInfo> Router::load_peer_file(std::string_view path) {
  auto bytes = ntcp2_net::read_file_bytes(path);
  if (!bytes) return wrap(RouterError::Net, std::move(bytes.error()));
  encoding::Reader reader(*bytes);
  auto info = common::RouterInfo::decode(reader);
  if (!info) return wrap(RouterError::Common, std::move(info.error()));
  if (auto stored = netdb.store_router_info(*info); !stored) {
    return wrap(RouterError::NetDb, std::move(stored.error()));
  }
  return info;
}

Result<std::size_t> Router::load_peer_dir(std::string_view folder) {
  const Bytes path = encoding::string_to_utf8_bytes(folder);
  std::vector<std::uint8_t> listing(kListingCapacity);
  const std::int32_t n = ondrel_i2p_net_list_dir(path.data(), static_cast<std::int32_t>(path.size()),
                                                 listing.data(), static_cast<std::int32_t>(listing.size()));
  if (n < 0) {
    return fail(RouterError::Net,
                Error(NetError::Io, msg("opendir(", folder, ") failed: ", ntcp2_net::last_os_error())));
  }
  auto names = encoding::utf8_bytes_to_string(ByteView(listing.data(), static_cast<std::size_t>(n)));
  if (!names) return fail(RouterError::Net, Error(NetError::Io, "invalid UTF-8 in directory listing"));

  std::size_t imported = 0;
  std::string_view rest = *names;
  while (!rest.empty()) {
    const std::size_t lf = rest.find('\n');
    const std::string_view name = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view{} : rest.substr(lf + 1);
    if (name.empty()) continue;
    std::string file(folder);
    if (!file.ends_with('/')) file.push_back('/');
    file.append(name);
    if (load_peer_file(file)) ++imported;
  }
  return imported;
}

}  // namespace router
