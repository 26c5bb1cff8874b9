// The data of a DatabaseStore as any peer can send it: type byte, 32-byte key, then the
// RouterInfo (plain or gzip with its length) or LeaseSet2. No crash on any input, and an
// entry that is stored can be found under its key.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "netdb/netdb.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 33) return 0;
  common::Hash key;
  for (std::size_t i = 0; i < 32; ++i) key.bytes[i] = data[1 + i];
  const ByteView body(data + 33, size - 33);
  constexpr std::uint32_t kNowS = 1'800'000'000;

  netdb::NetDb db;
  auto stored = db.handle_database_store(data[0], key, body, kNowS);
  if (!stored || !*stored) return 0;
  const bool found =
      (data[0] & 0x0F) == 0 ? db.get_router_info(key) != nullptr : db.get_lease_set2(key, kNowS) != nullptr;
  if (!found) std::abort();
  // The same store again changes nothing: an equal copy is never newer.
  auto again = db.handle_database_store(data[0], key, body, kNowS);
  if (!again || *again) std::abort();
  return 0;
}
