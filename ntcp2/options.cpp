#include "ntcp2/options.h"

#include "encoding/reader.h"
#include "encoding/writer.h"

namespace ntcp2 {

Bytes SessionRequestOptions::encode() const {
  encoding::Writer w(16);
  w.write_u8(network_id);
  w.write_u8(version);
  w.write_u16_be(pad_len);
  w.write_u16_be(m3p2_len);
  w.write_u16_be(0);
  w.write_u32_be(timestamp);
  w.write_u32_be(0);
  return std::move(w.buf);
}

Result<SessionRequestOptions> SessionRequestOptions::decode(ByteView bytes) {
  encoding::Reader r(bytes);
  SessionRequestOptions o;
  auto id = r.read_u8();
  if (!id) return wrap(Ntcp2Error::Encoding, std::move(id.error()));
  auto ver = r.read_u8();
  if (!ver) return wrap(Ntcp2Error::Encoding, std::move(ver.error()));
  auto pad = r.read_u16_be();
  if (!pad) return wrap(Ntcp2Error::Encoding, std::move(pad.error()));
  auto m3 = r.read_u16_be();
  if (!m3) return wrap(Ntcp2Error::Encoding, std::move(m3.error()));
  if (auto s = r.skip(2); !s) return wrap(Ntcp2Error::Encoding, std::move(s.error()));
  auto ts = r.read_u32_be();
  if (!ts) return wrap(Ntcp2Error::Encoding, std::move(ts.error()));
  if (auto s = r.skip(4); !s) return wrap(Ntcp2Error::Encoding, std::move(s.error()));
  o.network_id = *id;
  o.version = *ver;
  o.pad_len = *pad;
  o.m3p2_len = *m3;
  o.timestamp = *ts;
  return o;
}

Bytes SessionCreatedOptions::encode() const {
  encoding::Writer w(16);
  w.write_u16_be(0);
  w.write_u16_be(pad_len);
  w.write_u32_be(0);
  w.write_u32_be(timestamp);
  w.write_u32_be(0);
  return std::move(w.buf);
}

Result<SessionCreatedOptions> SessionCreatedOptions::decode(ByteView bytes) {
  encoding::Reader r(bytes);
  SessionCreatedOptions o;
  if (auto s = r.skip(2); !s) return wrap(Ntcp2Error::Encoding, std::move(s.error()));
  auto pad = r.read_u16_be();
  if (!pad) return wrap(Ntcp2Error::Encoding, std::move(pad.error()));
  if (auto s = r.skip(4); !s) return wrap(Ntcp2Error::Encoding, std::move(s.error()));
  auto ts = r.read_u32_be();
  if (!ts) return wrap(Ntcp2Error::Encoding, std::move(ts.error()));
  if (auto s = r.skip(4); !s) return wrap(Ntcp2Error::Encoding, std::move(s.error()));
  o.pad_len = *pad;
  o.timestamp = *ts;
  return o;
}

}  // namespace ntcp2
