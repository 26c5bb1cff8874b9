// gzip members, the I2CP envelope and CRC-32, checked against zlib and the gzip program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

#include "deflate_zlib.h"
#include "encoding/deflate.h"
#include "encoding/gzip.h"
#include "encoding/i2cp_gzip.h"
#include "tests/support/test_data.h"

using namespace deflate_test;
using encoding::gzip_decompress;
using encoding::i2cp_gzip_unwrap;
using encoding::i2cp_gzip_wrap;

namespace {

void put_u32_le(Bytes& out, std::uint32_t v) {
  for (int s = 0; s < 32; s += 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

// A member built field by field, the DEFLATE data from zlib.
Bytes hand_member(ByteView payload, std::uint8_t flags, ByteView extra, const std::string& name,
                  const std::string& comment) {
  Bytes m = {0x1F, 0x8B, 0x08, flags, 0x78, 0x56, 0x34, 0x12, 0x00, 0x03};
  if (flags & 0x04) {
    m.push_back(static_cast<std::uint8_t>(extra.size()));
    m.push_back(static_cast<std::uint8_t>(extra.size() >> 8));
    m.insert(m.end(), extra.begin(), extra.end());
  }
  if (flags & 0x08) {
    m.insert(m.end(), name.begin(), name.end());
    m.push_back(0);
  }
  if (flags & 0x10) {
    m.insert(m.end(), comment.begin(), comment.end());
    m.push_back(0);
  }
  if (flags & 0x02) {
    std::uint32_t hcrc = zlib_crc32(m);
    m.push_back(static_cast<std::uint8_t>(hcrc));
    m.push_back(static_cast<std::uint8_t>(hcrc >> 8));
  }
  Bytes stream = zlib_deflate_raw(payload, 6);
  m.insert(m.end(), stream.begin(), stream.end());
  put_u32_le(m, zlib_crc32(payload));
  put_u32_le(m, static_cast<std::uint32_t>(payload.size()));
  return m;
}

// The gzip program's output for a file holding payload.
Bytes gzip_program(ByteView payload, const std::string& options) {
  auto dir = std::filesystem::temp_directory_path() / ("ondrel-gzip-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  auto in = dir / "payload.bin";
  auto out = dir / "payload.gz";
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(payload.data()), static_cast<std::streamsize>(payload.size()));
  }
  std::string cmd = "gzip -c " + options + " '" + in.string() + "' > '" + out.string() + "'";
  int rc = std::system(cmd.c_str());
  Bytes result = rc == 0 ? test_support::read_file(out.string()) : Bytes{};
  std::filesystem::remove_all(dir);
  return result;
}

}  // namespace

TEST(Gzip, MembersOfTheGzipProgram) {
  for (std::size_t n : {0, 1, 16, 70000, 300000}) {
    const Bytes payload = n % 2 ? random_bytes(n, 3) : text_bytes(n, 4);
    for (const std::string options : {"-9", "-n", "-1 -n"}) {
      SCOPED_TRACE(std::to_string(n) + " " + options);
      Bytes member = gzip_program(payload, options);
      ASSERT_GE(member.size(), 18u);
      // Without -n the program records the file name.
      EXPECT_EQ((member[3] & 0x08) != 0, options.find("-n") == std::string::npos);
      auto r = gzip_decompress(member);
      ASSERT_TRUE(r.has_value()) << to_string(r.error());
      EXPECT_EQ(*r, payload);
    }
  }
}

TEST(Gzip, OptionalHeaderFieldsAreSkipped) {
  const Bytes payload = text_bytes(5000, 8);
  const Bytes extra = {'A', 'B', 4, 0, 1, 2, 3, 4};
  for (std::uint8_t flags : std::initializer_list<std::uint8_t>{0x00, 0x02, 0x04, 0x08, 0x10, 0x1E, 0x16, 0xFE}) {
    SCOPED_TRACE(int(flags));
    Bytes m = hand_member(payload, flags, extra, "file.txt", "a comment");
    // zlib reads the member too, unless reserved flag bits are set: we ignore those.
    if ((flags & 0xE0) == 0) {
      ASSERT_TRUE(zlib_inflate(m, 31).has_value());
    }
    auto r = encoding::gzip_read_member(m);
    ASSERT_TRUE(r.has_value()) << to_string(r.error());
    EXPECT_EQ(r->payload, payload);
    EXPECT_EQ(r->mtime, (std::array<std::uint8_t, 4>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(r->os, 3);
  }
}

TEST(Gzip, OnlyTheFirstMemberIsRead) {
  Bytes first = hand_member(text_bytes(300, 1), 0, {}, "", "");
  Bytes second = hand_member(text_bytes(400, 2), 0, {}, "", "");
  Bytes both = first;
  both.resize(first.size() + second.size());
  std::copy(second.begin(), second.end(), both.begin() + static_cast<std::ptrdiff_t>(first.size()));
  auto r = gzip_decompress(both);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, text_bytes(300, 1));
}

TEST(Gzip, Errors) {
  const Bytes payload = text_bytes(1000, 6);
  const Bytes good = hand_member(payload, 0, {}, "", "");
  auto altered = [&](std::size_t index, std::uint8_t value) {
    Bytes m = good;
    m[index] = value;
    return m;
  };
  struct Case {
    std::string name;
    Bytes member;
    EncodingError variant;
    std::string message;
  };
  const std::size_t n = good.size();
  std::vector<Case> cases = {
      {"17 bytes", Bytes(good.begin(), good.begin() + 17), EncodingError::Truncated,
       "gzip payload shorter than 18 bytes: 17"},
      {"empty", {}, EncodingError::Truncated, "gzip payload shorter than 18 bytes: 0"},
      {"magic", altered(0, 0x1E), EncodingError::InvalidData, "invalid gzip magic/method header"},
      {"method", altered(2, 0x07), EncodingError::InvalidData, "invalid gzip magic/method header"},
      {"crc", altered(n - 8, good[n - 8] ^ 0x01), EncodingError::InvalidData, "gzip CRC-32 mismatch"},
      {"isize", altered(n - 1, 0x40), EncodingError::BadLength, "gzip ISIZE mismatch"},
      {"trailer cut", Bytes(good.begin(), good.end() - 1), EncodingError::Truncated, "gzip 8-byte trailer truncated"},
      {"stream cut", Bytes(good.begin(), good.begin() + 30), EncodingError::Truncated,
       "DEFLATE unexpected end of input stream"},
      {"bad block type", hand_member(payload, 0, {}, "", ""), EncodingError::InvalidData,
       "invalid DEFLATE block type: 3"},
  };
  cases.back().member[10] |= 0x06;  // BTYPE 3 in the first block header
  // An extra field longer than the member, and a name without terminator.
  Bytes long_extra = good;
  long_extra[3] = 0x04;
  long_extra[10] = 0xFF;
  long_extra[11] = 0xFF;
  cases.push_back({"extra too long", long_extra, EncodingError::Truncated, "gzip header exceeds total length"});
  Bytes no_terminator = {0x1F, 0x8B, 0x08, 0x08, 0, 0, 0, 0, 0, 0};
  no_terminator.resize(40, 'n');
  cases.push_back({"unterminated name", no_terminator, EncodingError::Truncated, "gzip header exceeds total length"});
  // A 19-byte member: the DEFLATE data (an empty fixed block, 2 bytes) may start at 10,
  // before length - 8, but leaves only 7 bytes of trailer. With FHCRC it would start at 12.
  Bytes short_trailer = {0x1F, 0x8B, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0x03, 0x00, 0, 0, 0, 0, 0, 0, 0};
  cases.push_back({"trailer short", short_trailer, EncodingError::Truncated, "gzip 8-byte trailer truncated"});
  Bytes hcrc_over = short_trailer;
  hcrc_over[3] = 0x02;
  cases.push_back({"header into trailer", hcrc_over, EncodingError::Truncated, "gzip header exceeds total length"});

  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = gzip_decompress(c.member);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(c.variant)) << int(r.error().code()) << " " << to_string(r.error());
    EXPECT_EQ(r.error().message(), c.message);
    auto u = i2cp_gzip_unwrap(c.member);
    ASSERT_FALSE(u.has_value());
    EXPECT_EQ(u.error(), r.error());
  }
}

TEST(I2cpGzip, EmptyPayload) {
  Bytes m = i2cp_gzip_wrap({}, 1234, 5678, 6);
  const Bytes expected = {0x1F, 0x8B, 0x08, 0x00, 0x04, 0xD2, 0x16, 0x2E, 0x02, 0x06, 0x01, 0x00,
                          0x00, 0xFF, 0xFF, 0,    0,    0,    0,    0,    0,    0,    0};
  EXPECT_EQ(m, expected);
  auto r = i2cp_gzip_unwrap(m);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->header, (encoding::I2cpGzipHeader{1234, 5678, 6}));
  EXPECT_TRUE(r->payload.empty());
}

TEST(I2cpGzip, PortsAndProtocolInTheHeader) {
  const Bytes payload = text_bytes(100, 2);
  Bytes m = i2cp_gzip_wrap(payload, 258, 7, 17);
  EXPECT_EQ((Bytes{m[0], m[1], m[2], m[3]}), (Bytes{0x1F, 0x8B, 0x08, 0x00}));
  EXPECT_EQ((Bytes{m[4], m[5], m[6], m[7]}), (Bytes{0x01, 0x02, 0x00, 0x07}));
  EXPECT_EQ(m[8], 2);
  EXPECT_EQ(m[9], 17);
  auto r = i2cp_gzip_unwrap(m);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->header, (encoding::I2cpGzipHeader{258, 7, 17}));
  EXPECT_EQ(r->payload, payload);
}

TEST(I2cpGzip, ChoiceOfStream) {
  // Under 16 bytes: always stored, even when compressible.
  const Bytes fifteen(15, 'a');
  Bytes m = i2cp_gzip_wrap(fifteen, 0, 0, 0);
  ASSERT_EQ(m.size(), 10u + 5 + 15 + 8);
  EXPECT_EQ((Bytes(m.begin() + 10, m.begin() + 15)), (Bytes{0x01, 0x0F, 0x00, 0xF0, 0xFF}));
  // 16 equal bytes: one literal and one match.
  const Bytes sixteen(16, 'a');
  m = i2cp_gzip_wrap(sixteen, 0, 0, 0);
  EXPECT_EQ(m.size(), 10u + 4 + 8);
  // Incompressible: stored, strictly shorter than the fixed-code stream.
  const Bytes noise = random_bytes(1000, 5);
  m = i2cp_gzip_wrap(noise, 0, 0, 0);
  EXPECT_EQ(m.size(), 10u + 5 + 1000 + 8);
  EXPECT_EQ(m[10], 0x01);
}

TEST(I2cpGzip, RoundTripsAndZlibReadsOurMembers) {
  for (std::size_t n : {0, 1, 15, 16, 65535, 65536, 1 << 20}) {
    for (const Bytes& payload : {random_bytes(n, 77), text_bytes(n, 78)}) {
      SCOPED_TRACE(n);
      Bytes m = i2cp_gzip_wrap(payload, static_cast<std::uint16_t>(n), 65535, 18);
      auto z = zlib_inflate(m, 31);  // zlib checks CRC-32 and ISIZE as well
      ASSERT_TRUE(z.has_value());
      EXPECT_EQ(z->data, payload);
      EXPECT_EQ(z->consumed, m.size());
      auto r = i2cp_gzip_unwrap(m);
      ASSERT_TRUE(r.has_value()) << to_string(r.error());
      EXPECT_EQ(r->header, (encoding::I2cpGzipHeader{static_cast<std::uint16_t>(n), 65535, 18}));
      EXPECT_EQ(r->payload, payload);
      auto d = gzip_decompress(m);
      ASSERT_TRUE(d.has_value());
      EXPECT_EQ(*d, payload);
    }
  }
}

namespace {

Bytes concat(ByteView a, ByteView b) {
  Bytes out(a.size() + b.size());
  std::copy(b.begin(), b.end(), std::copy(a.begin(), a.end(), out.begin()));
  return out;
}

struct EnvelopeCase {
  std::string name;
  Bytes payload;
  bool compressed;  // else stored
};

std::vector<EnvelopeCase> envelope_cases() {
  const Bytes http_head = to_bytes(
      "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 8388608\r\n"
      "Cache-Control: no-cache\r\nConnection: close\r\n\r\n");
  const Bytes zlib_made = zlib_deflate_raw(text_bytes(8000, 8), 9);
  return {
      {"html 1730", html_bytes(1730, 3), true},
      {"text 1730", text_bytes(1730, 4), true},
      {"zeros 1730", Bytes(1730, 0), true},
      {"random 1730", random_bytes(1730, 5), false},
      {"random 16", random_bytes(16, 6), true},  // 10 bits of framing beat the stored 5 bytes
      {"random 300", random_bytes(300, 6), false},
      {"random 4096", random_bytes(4096, 7), false},
      {"zlib stream 1730", Bytes(zlib_made.begin(), zlib_made.begin() + 1730), false},
      {"http head then text", concat(http_head, text_bytes(1600, 9)), true},
      // A first packet: a destination's keys and a signature, then the request it carries.
      {"binary fields then a request",
       concat(random_bytes(470, 10),
              to_bytes("GET /forum/thread/4471?page=2 HTTP/1.1\r\nHost: forum.i2p\r\n"
                       "User-Agent: MYOB/6.66 (AN/ON)\r\nAccept: text/html,application/xhtml+xml\r\n"
                       "Accept-Language: en-US,en;q=0.5\r\nAccept-Encoding: identity\r\n"
                       "Referer: http://forum.i2p/forum/thread/4471?page=1\r\nConnection: close\r\n"
                       "Cookie: session=forum-session-forum-session\r\n\r\n")),
       true},
  };
}

}  // namespace

// Payloads that shrink are compressed and come out smaller than stored; those that do not
// are stored without trying. zlib reads every member back with its header fields.
TEST(I2cpGzip, CompressesWhatShrinksAndStoresTheRest) {
  for (const EnvelopeCase& c : envelope_cases()) {
    SCOPED_TRACE(c.name);
    const std::size_t stored_member = 10 + encoding::deflate_stored_size(c.payload.size()) + 8;
    const Bytes m = i2cp_gzip_wrap(c.payload, 4444, 80, 6);
    if (c.compressed) {
      EXPECT_EQ(m[10] & 0x07, 0x03);  // BFINAL 1, BTYPE 01: fixed codes
      EXPECT_LT(m.size(), stored_member);
    } else {
      EXPECT_EQ(m.size(), stored_member);
      EXPECT_EQ(m[10], 0x01);  // one final stored block
      // Nothing was lost by not trying: the compressor would not have shrunk it either.
      EXPECT_GE(encoding::deflate_raw(c.payload).size(), encoding::deflate_stored_size(c.payload.size()));
    }
    auto z = zlib_inflate(m, 31);
    ASSERT_TRUE(z.has_value());
    EXPECT_EQ(z->data, c.payload);
    EXPECT_EQ((Bytes{m[4], m[5], m[6], m[7], m[9]}), (Bytes{0x11, 0x5C, 0x00, 0x50, 6}));
  }
}

// The shrink test against what compressing really gives, over many sizes: it never says
// "no" to a payload that the compressor would shrink by more than the stored framing.
TEST(I2cpGzip, TheShrinkTestAgreesWithTheCompressor) {
  for (std::size_t n : {16, 17, 40, 100, 511, 512, 513, 1000, 1730, 3000, 20000}) {
    for (const Bytes& payload : {random_bytes(n, static_cast<std::uint32_t>(n)), text_bytes(n, 11),
                                 html_bytes(std::max<std::size_t>(n, 64), 12)}) {
      SCOPED_TRACE(n);
      const bool shrinks = encoding::deflate_raw(payload).size() < encoding::deflate_stored_size(payload.size());
      if (shrinks) {
        EXPECT_TRUE(encoding::deflate_may_shrink(payload)) << payload.size();
      }
    }
    // Random bytes cost 8.44 bits each in fixed codes: past a few hundred the stored
    // framing is cheaper, and the compressor is not run.
    if (n >= 300) {
      EXPECT_FALSE(encoding::deflate_may_shrink(random_bytes(n, static_cast<std::uint32_t>(n) + 1)));
    }
  }
}

// A kept compressor writes exactly what a fresh one writes, whatever it compressed before:
// the same input again (where a table left from the last call would find false matches),
// inputs longer than the window and than its tables, an empty one, and across the wrap of
// its position stamps.
TEST(Deflater, KeptStateNeverLeaksIntoTheNextCall) {
  const Bytes text = text_bytes(1730, 21);
  const std::vector<Bytes> inputs = {text,
                                     text,
                                     random_bytes(1730, 22),
                                     Bytes{},
                                     text_bytes(40000, 23),
                                     html_bytes(5000, 24),
                                     text_bytes(70000, 25),
                                     Bytes(300, 'x'),
                                     text};
  for (std::uint32_t base : {1u, std::numeric_limits<std::uint32_t>::max() - 50000}) {
    encoding::Deflater kept = encoding::Deflater::with_base(base);
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      SCOPED_TRACE(testing::Message() << "base " << base << " input " << k);
      Bytes out = {0xAA};  // appends after what the buffer holds
      kept.compress(inputs[k], out);
      const Bytes fresh = encoding::deflate_raw(inputs[k]);
      ASSERT_EQ(Bytes(out.begin() + 1, out.end()), fresh);
      auto z = zlib_inflate(fresh);
      ASSERT_TRUE(z.has_value());
      EXPECT_EQ(z->data, inputs[k]);
    }
  }
  encoding::Deflater kept;
  for (const EnvelopeCase& c : envelope_cases()) {
    EXPECT_EQ(i2cp_gzip_wrap(c.payload, 1, 2, 6, kept), i2cp_gzip_wrap(c.payload, 1, 2, 6)) << c.name;
  }
}
