// The gzip member reader and the I2CP envelope on arbitrary input, against zlib: no crash;
// where zlib reads the first member (at most 8 MiB) we give the same payload, and the
// envelope's header values are the bytes that carry them. Wrapping round-trips.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "encoding/deflate_tables.h"
#include "encoding/gzip.h"
#include "encoding/i2cp_gzip.h"
#include "fuzz/support/check.h"

namespace {

using fuzz_support::check;

// zlib's reading of the first gzip member, when it succeeds within the output limit.
bool zlib_gunzip(ByteView in, Bytes& out) {
  z_stream s{};
  if (inflateInit2(&s, 15 + 16) != Z_OK) return false;
  out.assign(4096, 0);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  for (;;) {
    if (s.total_out == out.size()) {
      if (out.size() > encoding::inflate_max_output) break;
      out.resize(std::min(out.size() * 2, encoding::inflate_max_output + 1));
    }
    s.next_out = out.data() + s.total_out;
    s.avail_out = static_cast<uInt>(out.size() - s.total_out);
    rc = inflate(&s, Z_NO_FLUSH);
    if (rc != Z_OK) break;
  }
  out.resize(s.total_out);
  inflateEnd(&s);
  return rc == Z_STREAM_END && out.size() <= encoding::inflate_max_output;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Random bytes rarely start with the gzip magic and method, so an input whose first
  // byte is even gets them put in front; the header flags and everything after come from
  // the input.
  Bytes member;
  if (size > 0 && data[0] % 2 == 0) member = {0x1F, 0x8B, 0x08};
  if (size > 1) member.insert(member.end(), data + 1, data + size);

  auto ours = encoding::gzip_decompress(member);
  auto unwrapped = encoding::i2cp_gzip_unwrap(member);
  check(ours.has_value() == unwrapped.has_value());
  if (ours) {
    check(unwrapped->payload == *ours);
    check(unwrapped->header.src_port == (member[4] << 8 | member[5]));
    check(unwrapped->header.dst_port == (member[6] << 8 | member[7]));
    check(unwrapped->header.protocol == member[9]);
  } else {
    check(ours.error() == unwrapped.error());
  }
  Bytes z;
  if (zlib_gunzip(member, z)) {
    check(ours.has_value());
    check(*ours == z);
  }

  // Wrapping what came in gives a member both readers take back.
  ByteView payload(data, size);
  std::uint16_t port = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  Bytes wrapped = encoding::i2cp_gzip_wrap(payload, port, static_cast<std::uint16_t>(~port), size > 0 ? data[0] : 0);
  auto back = encoding::i2cp_gzip_unwrap(wrapped);
  check(back && back->payload == Bytes(payload.begin(), payload.end()));
  check(back->header.src_port == port && back->header.dst_port == static_cast<std::uint16_t>(~port));
  check(zlib_gunzip(wrapped, z) && z == back->payload);

  // A compressor kept from one input to the next writes what a fresh one writes.
  static encoding::Deflater kept;
  check(encoding::i2cp_gzip_wrap(payload, port, static_cast<std::uint16_t>(~port), size > 0 ? data[0] : 0, kept) ==
        wrapped);
  return 0;
}
