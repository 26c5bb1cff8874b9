// The inflater's failures, its output cap and its Huffman pieces.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "deflate_zlib.h"
#include "encoding/deflate.h"
#include "encoding/deflate_bit_writer.h"
#include "encoding/deflate_tables.h"
#include "encoding/inflate.h"

using namespace deflate_test;
using encoding::BitReader;
using encoding::BitWriter;
using encoding::HuffTable;
using encoding::inflate_raw_from;

namespace {

// Writes DEFLATE streams by hand. Huffman codes go out most significant bit first, every
// other field least significant bit first.
struct StreamBuilder {
  BitWriter w;

  StreamBuilder& bits(std::uint32_t value, unsigned n) {
    w.write_bits(value, n);
    return *this;
  }
  StreamBuilder& code(std::uint32_t c, unsigned len) {
    for (unsigned i = len; i-- > 0;) w.write_bits((c >> i) & 1, 1);
    return *this;
  }
  // Symbol sym of the canonical code with these lengths (RFC 1951, section 3.2.2).
  StreamBuilder& symbol(const std::vector<std::uint8_t>& lengths, unsigned sym) {
    std::array<unsigned, 16> count{};
    for (auto l : lengths) ++count[l];
    count[0] = 0;
    std::array<unsigned, 16> next{};
    unsigned c = 0;
    for (unsigned len = 1; len < 16; ++len) next[len] = c = (c + count[len - 1]) << 1;
    for (unsigned s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == 0) continue;
      unsigned mine = next[lengths[s]]++;
      if (s == sym) return code(mine, lengths[s]);
    }
    ADD_FAILURE() << "symbol " << sym << " has no code";
    return *this;
  }
  // Fixed-code literal/length symbol.
  StreamBuilder& fixed(unsigned sym) {
    if (sym < 144) return code(0x30 + sym, 8);
    if (sym < 256) return code(0x190 + sym - 144, 9);
    if (sym < 280) return code(sym - 256, 7);
    return code(0xC0 + sym - 280, 8);
  }
  // Fixed-code length symbol and extra bits of a match length.
  StreamBuilder& length(unsigned len) {
    unsigned i = 28;
    while (encoding::len_bases[i] > len) --i;
    return fixed(257 + i).bits(len - encoding::len_bases[i], encoding::len_extra[i]);
  }
  // Header of a dynamic block: HLIT, HDIST and the code-length code lengths by symbol.
  StreamBuilder& dynamic(bool final, unsigned hlit, unsigned hdist, const std::vector<std::uint8_t>& cl) {
    bits(final ? 1 : 0, 1).bits(2, 2).bits(hlit - 257, 5).bits(hdist - 1, 5);
    unsigned hclen = 19;
    while (hclen > 4 && cl[encoding::cl_order[hclen - 1]] == 0) --hclen;
    bits(hclen - 4, 4);
    for (unsigned i = 0; i < hclen; ++i) bits(cl[encoding::cl_order[i]], 3);
    return *this;
  }
  Bytes done() {
    w.flush();
    return w.out;
  }
};

std::vector<std::uint8_t> cl_lengths(std::initializer_list<std::pair<unsigned, std::uint8_t>> set) {
  std::vector<std::uint8_t> cl(19, 0);
  for (auto [sym, len] : set) cl[sym] = len;
  return cl;
}

struct ErrorCase {
  std::string name;
  Bytes stream;
  EncodingError variant;
  std::string message;
};

std::vector<ErrorCase> error_cases() {
  std::vector<ErrorCase> cases;
  const std::string truncated = "DEFLATE unexpected end of input stream";
  cases.push_back({"empty input", {}, EncodingError::Truncated, truncated});
  cases.push_back({"block type 3", {0x07}, EncodingError::InvalidData, "invalid DEFLATE block type: 3"});
  cases.push_back({"second block of type 3",
                   {0x00, 0x00, 0x00, 0xFF, 0xFF, 0x07},
                   EncodingError::InvalidData,
                   "invalid DEFLATE block type: 3"});
  cases.push_back({"stored nlen",
                   {0x01, 0x05, 0x00, 0xFA, 0xFE, 'a', 'b', 'c', 'd', 'e'},
                   EncodingError::InvalidData,
                   "DEFLATE stored block len/nlen mismatch"});
  cases.push_back({"stored header cut",
                   {0x01, 0x05, 0x00, 0xFA},
                   EncodingError::Truncated,
                   "DEFLATE stored block header truncated"});
  cases.push_back({"stored payload cut",
                   {0x01, 0x05, 0x00, 0xFA, 0xFF, 'a', 'b'},
                   EncodingError::Truncated,
                   "DEFLATE stored block payload truncated"});
  cases.push_back({"no final block", {0x00, 0x00, 0x00, 0xFF, 0xFF}, EncodingError::Truncated, truncated});
  cases.push_back({"distance beyond output",
                   StreamBuilder().bits(0b011, 3).fixed('a').fixed(257).code(1, 5).fixed(256).done(),
                   EncodingError::BadLength, "DEFLATE back-reference distance 2 exceeds output 1"});
  cases.push_back({"distance at empty output", StreamBuilder().bits(0b011, 3).fixed(257).code(0, 5).fixed(256).done(),
                   EncodingError::BadLength, "DEFLATE back-reference distance 1 exceeds output 0"});
  cases.push_back({"far distance",
                   StreamBuilder().bits(0b011, 3).fixed('a').fixed(258).code(29, 5).bits(8191, 13).done(),
                   EncodingError::BadLength, "DEFLATE back-reference distance 32768 exceeds output 1"});
  cases.push_back({"length symbol 286", StreamBuilder().bits(0b011, 3).fixed('a').fixed(286).done(),
                   EncodingError::InvalidData, "invalid DEFLATE length symbol: 286"});
  cases.push_back({"length symbol 287", StreamBuilder().bits(0b011, 3).fixed(287).done(), EncodingError::InvalidData,
                   "invalid DEFLATE length symbol: 287"});
  cases.push_back({"distance symbol 30", StreamBuilder().bits(0b011, 3).fixed('a').fixed(257).code(30, 5).done(),
                   EncodingError::InvalidData, "invalid DEFLATE distance symbol: 30"});
  cases.push_back({"distance symbol 31", StreamBuilder().bits(0b011, 3).fixed('a').fixed(257).code(31, 5).done(),
                   EncodingError::InvalidData, "invalid DEFLATE distance symbol: 31"});
  cases.push_back({"fixed block cut in a code", {0x4B}, EncodingError::Truncated, truncated});
  cases.push_back({"fixed block without end", StreamBuilder().bits(0b011, 3).fixed('a').fixed('b').done(),
                   EncodingError::Truncated, truncated});

  // Dynamic blocks.
  const auto cl_0_16 = cl_lengths({{0, 1}, {16, 1}});
  cases.push_back({"repeat 16 first",
                   StreamBuilder().dynamic(true, 257, 1, cl_0_16).symbol(cl_0_16, 16).bits(0, 2).done(),
                   EncodingError::InvalidData, "DEFLATE repeat code 16 at start of lengths"});
  const auto cl_0_18 = cl_lengths({{0, 1}, {18, 1}});
  cases.push_back({"repeats overshoot",
                   StreamBuilder()
                       .dynamic(true, 257, 1, cl_0_18)
                       .symbol(cl_0_18, 18)
                       .bits(127, 7)
                       .symbol(cl_0_18, 18)
                       .bits(127, 7)
                       .done(),
                   EncodingError::BadLength, "DEFLATE dynamic code lengths exceeded hlit+hdist"});
  cases.push_back({"oversubscribed code-length code",
                   StreamBuilder().dynamic(true, 257, 1, cl_lengths({{16, 1}, {17, 1}, {18, 1}})).bits(0, 16).done(),
                   EncodingError::InvalidData, "oversubscribed Huffman tree"});
  // A literal/length code with three codes of one bit: 'a', 'b' and 256.
  const auto cl_0_1_18 = cl_lengths({{0, 2}, {1, 1}, {18, 2}});
  {
    StreamBuilder b;
    b.dynamic(true, 257, 1, cl_0_1_18);
    b.symbol(cl_0_1_18, 18).bits(97 - 11, 7);              // 97 zeros
    b.symbol(cl_0_1_18, 1).symbol(cl_0_1_18, 1);           // 'a', 'b'
    b.symbol(cl_0_1_18, 18).bits(138 - 11, 7);             // 138 zeros
    b.symbol(cl_0_1_18, 18).bits(256 - 99 - 138 - 11, 7);  // up to 256
    b.symbol(cl_0_1_18, 1).symbol(cl_0_1_18, 1);           // 256, distance 0
    cases.push_back(
        {"oversubscribed literal code", b.done(), EncodingError::InvalidData, "oversubscribed Huffman tree"});
  }
  // A literal/length code with a hole: 'a' of length 1 (code 0), 256 of length 2 (code
  // 10); the pattern 11 matches nothing.
  const auto cl_0_1_2_18 = cl_lengths({{0, 2}, {1, 2}, {2, 2}, {18, 2}});
  auto holed = [&] {
    StreamBuilder b;
    b.dynamic(true, 257, 1, cl_0_1_2_18);
    b.symbol(cl_0_1_2_18, 18).bits(97 - 11, 7).symbol(cl_0_1_2_18, 1);
    b.symbol(cl_0_1_2_18, 18).bits(138 - 11, 7).symbol(cl_0_1_2_18, 18).bits(256 - 98 - 138 - 11, 7);
    b.symbol(cl_0_1_2_18, 2).symbol(cl_0_1_2_18, 1);
    return b;
  };
  cases.push_back({"invalid symbol code", holed().code(0b11, 2).bits(0, 16).done(), EncodingError::InvalidData,
                   "invalid Huffman symbol code"});
  {
    // The same hole when the input ends before 15 bits: a shortfall, not a bad code.
    StreamBuilder b = holed();
    b.code(0b11, 2);
    Bytes s = b.done();
    cases.push_back({"hole at end of input", s, EncodingError::Truncated, truncated});
  }
  cases.push_back(
      {"dynamic header cut", StreamBuilder().bits(0b101, 3).bits(3, 5).done(), EncodingError::Truncated, truncated});
  return cases;
}

}  // namespace

TEST(InflateErrors, Table) {
  for (const auto& c : error_cases()) {
    SCOPED_TRACE(c.name);
    auto r = inflate_raw_from(c.stream, 0);
    ASSERT_FALSE(r.has_value());
    EXPECT_TRUE(r.error().is(c.variant)) << int(r.error().code()) << " " << to_string(r.error());
    EXPECT_EQ(r.error().message(), c.message);
    // zlib refuses each of these streams as well.
    EXPECT_FALSE(zlib_inflate(c.stream).has_value());
  }
}

TEST(InflateErrors, IncompleteCodesAreAccepted) {
  // 'a' of length 1, 256 of length 2: the pattern 11 is unused, yet the stream decodes.
  const auto cl = cl_lengths({{0, 2}, {1, 2}, {2, 2}, {18, 2}});
  StreamBuilder b;
  b.dynamic(true, 257, 1, cl);
  b.symbol(cl, 18).bits(97 - 11, 7).symbol(cl, 1);
  b.symbol(cl, 18).bits(138 - 11, 7).symbol(cl, 18).bits(256 - 98 - 138 - 11, 7);
  b.symbol(cl, 2).symbol(cl, 1);
  b.code(0, 1).code(0, 1).code(0b10, 2);  // 'a', 'a', end of block
  auto r = inflate_raw_from(b.done(), 0);
  ASSERT_TRUE(r.has_value()) << to_string(r.error());
  EXPECT_EQ(r->data, (Bytes{'a', 'a'}));
}

TEST(InflateErrors, EveryPrefixOfAStreamIsTruncated) {
  const Bytes text = text_bytes(2000, 5);
  for (const Bytes& stream : {zlib_deflate_raw(text, 9), zlib_deflate_raw(text, 0), encoding::deflate_raw(text)}) {
    for (std::size_t cut = 0; cut < stream.size(); ++cut) {
      auto r = inflate_raw_from(ByteView(stream).first(cut), 0);
      ASSERT_FALSE(r.has_value()) << cut;
      EXPECT_TRUE(r.error().is(EncodingError::Truncated)) << cut << " " << to_string(r.error());
    }
  }
}

TEST(InflateErrors, StartBeyondTheInput) {
  const Bytes stream = encoding::deflate_stored(Bytes{1, 2, 3});
  auto r = inflate_raw_from(stream, stream.size() + 5);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(EncodingError::Truncated));
}

TEST(InflateLimit, ExactlyEightMebibytesAndNoMore) {
  const std::string exceeded = "DEFLATE output exceeded max allowed size";
  const Bytes exact(encoding::inflate_max_output, 'x');
  const Bytes over(encoding::inflate_max_output + 1, 'x');
  struct Case {
    std::string name;
    Bytes stream;
    bool ok;
  };
  std::vector<Case> cases = {
      {"matches, exact", zlib_deflate_raw(exact, 9), true},
      {"matches, one more", zlib_deflate_raw(over, 9), false},
      {"stored, exact", encoding::deflate_stored(exact), true},
      {"stored, one more", encoding::deflate_stored(over), false},
      {"huffman-only, one more", zlib_deflate_raw(over, 6, Z_HUFFMAN_ONLY), false},
  };
  // A stream that ends in one literal past the cap: exact output, then one byte.
  {
    StreamBuilder b;
    b.bits(0, 1).bits(1, 2).fixed('x');  // a non-final fixed block
    std::size_t left = encoding::inflate_max_output - 1;
    while (left >= 258 + 3) {
      b.fixed(285).code(0, 5);
      left -= 258;
    }
    b.length(static_cast<unsigned>(left)).code(0, 5);
    b.fixed(256);
    b.bits(1, 1).bits(1, 2).fixed('x').fixed(256);  // final block: one more literal
    cases.push_back({"literal, one more", b.done(), false});
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = inflate_raw_from(c.stream, 0);
    if (c.ok) {
      ASSERT_TRUE(r.has_value()) << to_string(r.error());
      EXPECT_EQ(r->data, exact);
      EXPECT_EQ(r->end, c.stream.size());
    } else {
      ASSERT_FALSE(r.has_value());
      EXPECT_TRUE(r.error().is(EncodingError::LimitExceeded));
      EXPECT_EQ(r.error().message(), exceeded);
    }
  }
}

TEST(InflateLimit, HugeExpansionIsRefusedEarly) {
  // 258 MB worth of 258-byte matches, then a bad block type: the cap stops the stream
  // at 8 MiB, long before the end of its input.
  StreamBuilder b;
  b.bits(0b010, 3).fixed(0);  // a non-final fixed block
  for (int i = 0; i < 1'000'000; ++i) b.fixed(285).code(0, 5);
  b.fixed(256).bits(0b111, 3);
  Bytes stream = b.done();
  auto r = inflate_raw_from(stream, 0);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(EncodingError::LimitExceeded));
}

TEST(HuffTable, BuildChecksLengths) {
  std::vector<std::uint8_t> too_long = {1, 16};
  auto r = HuffTable::build(too_long);
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(EncodingError::InvalidData));
  EXPECT_EQ(r.error().message(), "invalid Huffman code length: 16");
  std::vector<std::uint8_t> over = {1, 1, 1};
  r = HuffTable::build(over);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "oversubscribed Huffman tree");
}

TEST(HuffTable, CanonicalCodesIncludingLongOnes) {
  // Lengths 1, 2, ..., 14, 15, 15: a complete code reaching the 15-bit limit, decoded
  // from a stream written with the canonical codes.
  std::vector<std::uint8_t> lengths;
  for (std::uint8_t l = 1; l <= 15; ++l) lengths.push_back(l);
  lengths.push_back(15);
  auto t = HuffTable::build(lengths);
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->counts[15], 2);
  StreamBuilder b;
  const std::vector<unsigned> order = {15, 0, 14, 7, 10, 11, 1, 9, 12, 13};
  for (unsigned s : order) b.symbol(lengths, s);
  Bytes s = b.done();
  BitReader reader(s, 0);
  for (unsigned expected : order) {
    auto sym = t->decode(reader);
    ASSERT_TRUE(sym.has_value()) << to_string(sym.error());
    EXPECT_EQ(*sym, expected);
  }
  // A table without codes decodes nothing.
  std::vector<std::uint8_t> none(5, 0);
  auto empty = HuffTable::build(none);
  ASSERT_TRUE(empty.has_value());
  Bytes zeros(4, 0);
  BitReader zr(zeros, 0);
  auto sym = empty->decode(zr);
  ASSERT_FALSE(sym.has_value());
  EXPECT_EQ(sym.error().message(), "invalid Huffman symbol code");
}

TEST(BitReader, ReadsLeastSignificantBitFirst) {
  const Bytes in = {0b10110100, 0xFF, 0x01};
  BitReader r(in, 0);
  EXPECT_EQ(r.read_bits(0).value(), 0u);
  EXPECT_EQ(r.read_bits(3).value(), 0b100u);
  EXPECT_EQ(r.end_offset(), 1u);
  EXPECT_EQ(r.read_bits(5).value(), 0b10110u);
  EXPECT_EQ(r.end_offset(), 1u);
  EXPECT_EQ(r.read_bits(13).value(), 0x1FFu);
  EXPECT_EQ(r.end_offset(), 3u);
  auto e = r.read_bits(4);
  ASSERT_FALSE(e.has_value());
  EXPECT_TRUE(e.error().is(EncodingError::Truncated));
  EXPECT_EQ(e.error().message(), "DEFLATE unexpected end of input stream");
}

TEST(BitWriter, WritesLeastSignificantBitFirst) {
  BitWriter w;
  w.write_bits(0b100, 3);
  EXPECT_TRUE(w.out.empty());
  w.write_bits(0b10110, 5);
  EXPECT_EQ(w.out, Bytes{0b10110100});
  w.write_bits(0xFFFFFFFF, 9);
  w.write_bits(0, 0);
  w.flush();
  EXPECT_EQ(w.out, (Bytes{0b10110100, 0xFF, 0x01}));
}
