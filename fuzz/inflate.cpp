// The raw inflater on arbitrary input, against zlib: no crash, no read outside the input;
// where zlib inflates a stream of at most 8 MiB we give the same bytes and the same end,
// and a longer one we refuse. The input also goes through both compressors and back.
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "encoding/deflate.h"
#include "encoding/deflate_tables.h"
#include "encoding/inflate.h"
#include "fuzz/support/check.h"

namespace {

using fuzz_support::check;

struct ZlibResult {
  bool ok = false;
  bool over_limit = false;
  Bytes data;
  std::size_t consumed = 0;
};

// zlib's inflation of the raw stream at the start of in, stopped once it passes the limit.
ZlibResult zlib_inflate_raw(ByteView in) {
  ZlibResult r;
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return r;
  const std::size_t cap = encoding::inflate_max_output + 1;
  Bytes out(std::min<std::size_t>(4096, cap));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  for (;;) {
    if (s.total_out == out.size()) {
      if (out.size() == cap) break;
      out.resize(std::min(out.size() * 2, cap));
    }
    s.next_out = out.data() + s.total_out;
    s.avail_out = static_cast<uInt>(out.size() - s.total_out);
    rc = inflate(&s, Z_NO_FLUSH);
    if (rc != Z_OK) break;
  }
  if (s.total_out > encoding::inflate_max_output) {
    r.over_limit = true;  // valid at least that far
  } else if (rc == Z_STREAM_END) {
    r.ok = true;
    out.resize(s.total_out);
    r.data = std::move(out);
    r.consumed = s.total_in;
  }
  inflateEnd(&s);
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView bytes(data, size);
  // The first byte picks a start offset 0..3, the stream may begin at any of them.
  std::size_t start = size > 0 ? data[0] % 4 : 0;
  if (start > size) start = size;

  auto ours = encoding::inflate_raw_from(bytes, start);
  if (ours) {
    check(ours->end > start && ours->end <= size);
    check(ours->data.size() <= encoding::inflate_max_output);
  }
  ZlibResult z = zlib_inflate_raw(bytes.subspan(start));
  if (z.ok) {
    check(ours.has_value());
    check(ours->data == z.data);
    check(ours->end == start + z.consumed);
  } else if (z.over_limit && ours) {
    std::abort();
  }
  if (!ours) check(ours.error().in_family<EncodingError>());

  // Compression direction: both compressors round-trip through zlib and through us.
  for (const Bytes& stream : {encoding::deflate_raw(bytes), encoding::deflate_stored(bytes)}) {
    ZlibResult back = zlib_inflate_raw(stream);
    check(back.ok && back.data == Bytes(bytes.begin(), bytes.end()) && back.consumed == stream.size());
    auto again = encoding::inflate_raw_from(stream, 0);
    check(again && again->data == back.data && again->end == stream.size());
  }
  return 0;
}
