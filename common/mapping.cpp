#include "common/mapping.h"

#include <algorithm>

#include "encoding/error.h"

namespace common {

namespace {

Result<void> expect_byte(encoding::Reader& r, std::uint8_t wanted, const char* what) {
  auto b = r.read_u8();
  if (!b) return wrap(CommonError::Encoding, std::move(b.error()));
  if (*b != wanted) return fail(CommonError::Unsupported, msg(what, static_cast<unsigned>(*b)));
  return {};
}

}  // namespace

Mapping Mapping::from_entries(std::vector<std::pair<std::string, std::string>> entries) {
  return Mapping{std::move(entries)};
}

std::optional<std::string> Mapping::get(std::string_view key) const {
  for (const auto& [k, v] : entries) {
    if (k == key) return v;
  }
  return std::nullopt;
}

Result<void> Mapping::encode(encoding::Writer& w) const {
  std::vector<const std::pair<std::string, std::string>*> sorted;
  sorted.reserve(entries.size());
  for (const auto& e : entries) sorted.push_back(&e);
  // std::string compares through char_traits<char>, which orders as unsigned bytes.
  std::stable_sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

  encoding::Writer scratch(64);
  for (const auto* e : sorted) {
    if (auto ok = scratch.write_i2p_string(e->first); !ok) return wrap(CommonError::Encoding, std::move(ok.error()));
    scratch.write_u8('=');
    if (auto ok = scratch.write_i2p_string(e->second); !ok) return wrap(CommonError::Encoding, std::move(ok.error()));
    scratch.write_u8(';');
  }
  if (scratch.buf.size() > 65535) {
    return fail(CommonError::Invalid, msg("Mapping exceeds 65535 bytes: ", scratch.buf.size()));
  }
  w.write_u16_be(static_cast<std::uint32_t>(scratch.buf.size()));
  w.write_bytes(scratch.buf);
  return {};
}

Result<Mapping> Mapping::decode(encoding::Reader& r) {
  auto size = r.read_u16_be();
  if (!size) return wrap(CommonError::Encoding, std::move(size.error()));
  auto body = r.read_view(*size);
  if (!body) return wrap(CommonError::Encoding, std::move(body.error()));

  encoding::Reader entries(*body);
  Mapping m;
  while (entries.remaining() > 0) {
    auto key = entries.read_i2p_string();
    if (!key) return wrap(CommonError::Encoding, std::move(key.error()));
    if (auto ok = expect_byte(entries, '=', "expected '=' in Mapping, got "); !ok) {
      return std::unexpected(std::move(ok.error()));
    }
    auto value = entries.read_i2p_string();
    if (!value) return wrap(CommonError::Encoding, std::move(value.error()));
    if (auto ok = expect_byte(entries, ';', "expected ';' in Mapping, got "); !ok) {
      return std::unexpected(std::move(ok.error()));
    }
    m.entries.emplace_back(std::move(*key), std::move(*value));
  }
  return m;
}

}  // namespace common
