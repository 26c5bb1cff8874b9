// The raw DEFLATE compressor and inflater, checked both ways against zlib.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "deflate_zlib.h"
#include "encoding/deflate.h"
#include "encoding/deflate_bit_writer.h"
#include "encoding/deflate_tables.h"
#include "encoding/inflate.h"

using namespace deflate_test;
using encoding::BitWriter;
using encoding::deflate_raw;
using encoding::deflate_stored;
using encoding::inflate_raw_from;

namespace {

const std::vector<std::size_t> sizes = {0, 1, 15, 16, 65535, 65536, 1 << 20};

struct Input {
  std::string name;
  Bytes bytes;
};

const std::vector<Input>& inputs() {
  static const std::vector<Input> all = [] {
    std::vector<Input> v;
    for (std::size_t n : sizes) {
      v.push_back({"random " + std::to_string(n), random_bytes(n, static_cast<std::uint32_t>(n) + 1)});
      v.push_back({"text " + std::to_string(n), text_bytes(n, static_cast<std::uint32_t>(n) + 7)});
    }
    return v;
  }();
  return all;
}

// Bytes before and after the stream, so that offsets and over-reads show.
Bytes embed(ByteView stream, std::size_t before, std::size_t after) {
  Bytes b(before + stream.size() + after, 0x5A);
  std::fill_n(b.begin(), before, 0xA5);
  std::copy(stream.begin(), stream.end(), b.begin() + static_cast<std::ptrdiff_t>(before));
  return b;
}

}  // namespace

TEST(Deflate, OurStreamsInflateWithZlib) {
  for (const auto& in : inputs()) {
    SCOPED_TRACE(in.name);
    for (const Bytes& stream : {deflate_raw(in.bytes), deflate_stored(in.bytes)}) {
      auto z = zlib_inflate(stream);
      ASSERT_TRUE(z.has_value());
      EXPECT_EQ(z->data, in.bytes);
      EXPECT_EQ(z->consumed, stream.size());
      // And back through our own inflater, with the exact end.
      Bytes framed = embed(stream, 3, 9);
      auto ours = inflate_raw_from(framed, 3);
      ASSERT_TRUE(ours.has_value()) << to_string(ours.error());
      EXPECT_EQ(ours->data, in.bytes);
      EXPECT_EQ(ours->end, 3 + stream.size());
    }
  }
}

TEST(Deflate, CompressesRepetitiveInput) {
  const Bytes text = text_bytes(65536, 3);
  EXPECT_LT(deflate_raw(text).size(), text.size() / 2);
  const Bytes zeros(100000, 0);
  EXPECT_LT(deflate_raw(zeros).size(), 1000u);
}

TEST(Deflate, SixteenEqualBytesAreOneLiteralAndOneMatch) {
  // Header bits 1,1,0; literal 'a' (8-bit code 0x91); length 15 (7-bit code 267, one
  // extra bit 0); distance 1 (5-bit code 0); end of block (7 zero bits): 31 bits.
  const Bytes in(16, 'a');
  EXPECT_EQ(deflate_raw(in), (Bytes{0x4B, 0x44, 0x03, 0x00}));
}

TEST(Deflate, StoredBlocks) {
  EXPECT_EQ(deflate_stored({}), (Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF}));
  const Bytes three = {1, 2, 3};
  EXPECT_EQ(deflate_stored(three), (Bytes{0x01, 0x03, 0x00, 0xFC, 0xFF, 1, 2, 3}));
  // 65,536 bytes: a full non-final block of 65,535 and a final block of one byte.
  const Bytes in = random_bytes(65536, 9);
  Bytes s = deflate_stored(in);
  ASSERT_EQ(s.size(), 65536u + 10);
  EXPECT_EQ((Bytes{s[0], s[1], s[2], s[3], s[4]}), (Bytes{0x00, 0xFF, 0xFF, 0x00, 0x00}));
  EXPECT_EQ((Bytes(s.begin() + 65540, s.begin() + 65545)), (Bytes{0x01, 0x01, 0x00, 0xFE, 0xFF}));
  EXPECT_EQ(encoding::deflate_stored_size(in.size()), s.size());
  EXPECT_EQ(encoding::deflate_stored_size(0), 5u);
  EXPECT_EQ(encoding::deflate_stored_size(65535), 65540u);
}

TEST(Inflate, ZlibStreamsAtEveryLevelAndStrategy) {
  struct Setting {
    int level;
    int strategy;
  };
  std::vector<Setting> settings;
  for (int level = 0; level <= 9; ++level) settings.push_back({level, Z_DEFAULT_STRATEGY});
  settings.push_back({6, Z_FIXED});
  settings.push_back({6, Z_HUFFMAN_ONLY});
  settings.push_back({6, Z_RLE});
  for (const auto& in : inputs()) {
    for (const auto& s : settings) {
      // The 1 MiB inputs take the levels with distinct search settings only, to keep the
      // suite quick.
      if (in.bytes.size() > 65536 && s.strategy == Z_DEFAULT_STRATEGY && s.level % 3 != 0 && s.level != 1) continue;
      SCOPED_TRACE(in.name + " level " + std::to_string(s.level) + " strategy " + std::to_string(s.strategy));
      Bytes stream = zlib_deflate_raw(in.bytes, s.level, s.strategy);
      ASSERT_FALSE(stream.empty());
      Bytes framed = embed(stream, 5, 8);
      auto ours = inflate_raw_from(framed, 5);
      ASSERT_TRUE(ours.has_value()) << to_string(ours.error());
      EXPECT_EQ(ours->data, in.bytes);
      EXPECT_EQ(ours->end, 5 + stream.size());
      // zlib agrees on where the stream ends.
      auto z = zlib_inflate(ByteView(framed).subspan(5));
      ASSERT_TRUE(z.has_value());
      EXPECT_EQ(ours->end, 5 + z->consumed);
    }
  }
}

TEST(Inflate, SeveralBlocksAndFlushPoints) {
  // Sync and full flushes leave empty stored blocks and several blocks of mixed types.
  const Bytes text = text_bytes(200000, 11);
  z_stream s{};
  ASSERT_EQ(deflateInit2(&s, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&s, text.size()) + 1024);
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  std::size_t offset = 0;
  int round = 0;
  while (offset < text.size()) {
    std::size_t n = std::min<std::size_t>(text.size() - offset, 7000 + 1000 * (round % 5));
    s.next_in = const_cast<Bytef*>(text.data() + offset);
    s.avail_in = static_cast<uInt>(n);
    offset += n;
    int flush = offset == text.size() ? Z_FINISH
                : round % 3 == 0      ? Z_SYNC_FLUSH
                : round % 3 == 1      ? Z_FULL_FLUSH
                                      : Z_NO_FLUSH;
    if (round % 4 == 2) deflateParams(&s, round % 8 == 2 ? 0 : 9, round % 8 == 2 ? Z_DEFAULT_STRATEGY : Z_FIXED);
    int rc = deflate(&s, flush);
    ASSERT_TRUE(rc >= Z_OK || rc == Z_BUF_ERROR) << rc;
    ++round;
  }
  out.resize(s.total_out);
  deflateEnd(&s);
  auto ours = inflate_raw_from(out, 0);
  ASSERT_TRUE(ours.has_value()) << to_string(ours.error());
  EXPECT_EQ(ours->data, text);
  EXPECT_EQ(ours->end, out.size());
}

TEST(Inflate, StartsInTheMiddleAndReportsTheEnd) {
  const Bytes a = text_bytes(3000, 1), b = random_bytes(40, 2);
  Bytes sa = deflate_raw(a), sb = zlib_deflate_raw(b, 9);
  Bytes joined = embed(sa, 2, sb.size());
  std::copy(sb.begin(), sb.end(), joined.end() - static_cast<std::ptrdiff_t>(sb.size()));
  auto first = inflate_raw_from(joined, 2);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->data, a);
  ASSERT_EQ(first->end, 2 + sa.size());
  auto second = inflate_raw_from(joined, first->end);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->data, b);
  EXPECT_EQ(second->end, joined.size());
}

TEST(Inflate, OverlappingBackReferencesRepeatThePattern) {
  // "abc" then length 10 at distance 3, and a length-258 run at distance 1, from the
  // fixed code: literals, length codes and distance codes written by hand.
  BitWriter w;
  auto code = [&](std::uint32_t c, unsigned len) {  // Huffman codes go out MSB first
    for (unsigned i = len; i-- > 0;) w.write_bits((c >> i) & 1, 1);
  };
  w.write_bits(0b011, 3);
  for (char ch : std::string("abc")) code(0x30 + static_cast<unsigned>(ch), 8);
  code(264 - 256, 7);  // length 10
  code(2, 5);          // distance 3
  code(0xC5, 8);       // symbol 285: length 258
  code(0, 5);          // distance 1
  code(0, 7);          // end of block
  w.flush();
  auto r = inflate_raw_from(w.out, 0);
  ASSERT_TRUE(r.has_value()) << to_string(r.error());
  std::string expected = "abcabcabcabca" + std::string(258, 'a');
  EXPECT_EQ(r->data, Bytes(expected.begin(), expected.end()));
  auto z = zlib_inflate(w.out);
  ASSERT_TRUE(z.has_value());
  EXPECT_EQ(z->data, r->data);
}

namespace {

// The greedy compressor written plainly: a chain entry per position, one candidate after
// another. The optimised one must give exactly the same bytes.
Bytes plain_greedy_deflate(ByteView in) {
  static constexpr unsigned len_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                            31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
  static constexpr unsigned len_bits[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                            2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  static constexpr unsigned dist_base[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                             33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                             1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
  static constexpr unsigned dist_bits[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
  BitWriter w;
  auto huffman = [&](unsigned code, unsigned len) {
    for (unsigned i = len; i-- > 0;) w.write_bits((code >> i) & 1, 1);
  };
  auto literal_or_length = [&](unsigned sym) {
    if (sym < 144)
      huffman(0x30 + sym, 8);
    else if (sym < 256)
      huffman(0x190 + sym - 144, 9);
    else if (sym < 280)
      huffman(sym - 256, 7);
    else
      huffman(0xC0 + sym - 280, 8);
  };
  const std::size_t n = in.size();
  std::vector<std::int64_t> head(4096, -1), chain(n, -1);
  auto insert = [&](std::size_t i) {
    unsigned h = ((in[i] << 8 | in[i + 2]) ^ (in[i + 1] << 4)) & 0xFFF;
    chain[i] = head[h];
    head[h] = static_cast<std::int64_t>(i);
  };
  w.write_bits(1, 1);
  w.write_bits(1, 2);
  std::size_t i = 0;
  while (i < n) {
    std::size_t best = 0, dist = 0;
    if (n - i >= 3) {
      insert(i);
      std::int64_t cand = chain[i];
      for (int count = 0; cand != -1 && i - static_cast<std::size_t>(cand) <= 32768 && count < 32; ++count) {
        std::size_t c = static_cast<std::size_t>(cand), len = 0, max = std::min<std::size_t>(n - i, 258);
        while (len < max && in[c + len] == in[i + len]) ++len;
        if (len > best && len > 2) {
          best = len;
          dist = i - c;
          if (len == 258) break;
        }
        cand = chain[c];
      }
    }
    if (best >= 3) {
      unsigned k = 28;
      while (len_base[k] > best) --k;
      literal_or_length(257 + k);
      w.write_bits(static_cast<std::uint32_t>(best - len_base[k]), len_bits[k]);
      unsigned d = 29;
      while (dist_base[d] > dist) --d;
      huffman(d, 5);
      w.write_bits(static_cast<std::uint32_t>(dist - dist_base[d]), dist_bits[d]);
      for (std::size_t j = i + 1; j < i + best; ++j) {
        if (n - j >= 3) insert(j);
      }
      i += best;
    } else {
      literal_or_length(in[i]);
      ++i;
    }
  }
  huffman(0, 7);
  w.flush();
  return w.out;
}

// A block of random bytes repeated: matches at exactly the period.
Bytes periodic(std::size_t period, std::size_t n, std::uint32_t seed) {
  Bytes block = random_bytes(period, seed), out(n);
  for (std::size_t k = 0; k < n; ++k) out[k] = block[k % period];
  return out;
}

}  // namespace

TEST(Deflate, GreedyMatchChoiceIsExact) {
  std::vector<Input> cases = inputs();
  // Window edges: a repeat exactly one window back is used, one byte further is not.
  cases.push_back({"period 32768", periodic(32768, 70000, 1)});
  cases.push_back({"period 32769", periodic(32769, 70000, 2)});
  cases.push_back({"period 32767", periodic(32767, 40000, 3)});
  cases.push_back({"period 5", periodic(5, 3000, 4)});
  cases.push_back({"zeros", Bytes(100000, 0)});
  cases.push_back({"text 65537", text_bytes(65537, 5)});
  cases.push_back({"text 200000 low entropy", [] {
                     Bytes b = random_bytes(200000, 6);
                     for (auto& x : b) x &= 0x03;  // long hash chains, many equal candidates
                     return b;
                   }()});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(deflate_raw(c.bytes), plain_greedy_deflate(c.bytes));
  }
}
