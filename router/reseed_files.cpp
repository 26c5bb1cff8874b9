// Bootstrap from RouterInfo files: a single file (--peer) or every file of a folder
// (--peer-dir).
#include <string>
#include <vector>

#include "encoding/reader.h"
#include "ntcp2_net/files.h"
#include "router/router.h"

namespace router {

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
  auto names = ntcp2_net::list_dir(folder);
  if (!names) return wrap(RouterError::Net, std::move(names.error()));
  std::size_t imported = 0;
  for (const std::string& name : *names) {
    std::string file(folder);
    if (!file.ends_with('/')) file.push_back('/');
    file.append(name);
    if (load_peer_file(file)) ++imported;
  }
  return imported;
}

}  // namespace router
