#pragma once
// SU3 reseed files laid out byte by byte: header, version text, signer id, content and an
// unverified signature.
#include <cstdint>
#include <string>

#include "encoding/bytes.h"
#include "encoding/writer.h"

namespace test_support {

struct Su3Fields {
  std::uint8_t version = 0;
  std::uint8_t file_type = 0;
  std::uint8_t content_type = 3;
  std::string version_text = "1700000000";
  std::string signer = "reseed@example.i2p";
  std::uint16_t sig_len = 512;
  std::int64_t content_len_delta = 0;  // added to the real content length in the header
};

inline Bytes make_su3(const Bytes& content, const Su3Fields& f = {}) {
  encoding::Writer w(64 + content.size() + f.sig_len);
  w.write_bytes(to_bytes("I2Psu3"));
  w.write_u8(0);
  w.write_u8(f.version);
  w.write_u16_be(6);  // signature type: read, never used
  w.write_u16_be(f.sig_len);
  w.write_u8(0);
  w.write_u8(static_cast<std::uint32_t>(f.version_text.size()));
  w.write_u8(0);
  w.write_u8(static_cast<std::uint32_t>(f.signer.size()));
  w.write_u64_be(static_cast<std::uint64_t>(static_cast<std::int64_t>(content.size()) + f.content_len_delta));
  w.write_u8(0);
  w.write_u8(f.file_type);
  w.write_u8(0);
  w.write_u8(f.content_type);
  w.write_bytes(Bytes(12, 0));
  w.write_bytes(to_bytes(f.version_text));
  w.write_bytes(to_bytes(f.signer));
  w.write_bytes(content);
  w.write_bytes(Bytes(f.sig_len, 0xA5));
  return w.to_bytes();
}

}  // namespace test_support
