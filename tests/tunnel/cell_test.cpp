// Cutting messages into cells and reading them back: the size limits of each delivery,
// the wire layout of the padding and fragment flags, and the refusals.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "crypto/sha256.h"
#include "tests/crypto/openssl_ref.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/cell.h"
#include "tunnel/reassembler.h"

namespace tunnel {
namespace {

using tunnel_test::gateway;
using tunnel_test::pattern;

const Bytes kIv = pattern(16, 0xa0);

struct DeliveryCase {
  const char* name;
  TunnelDelivery delivery;
  std::size_t one_cell;  // the largest message in one cell
  std::size_t largest;   // the largest message at all
};

const DeliveryCase kDeliveries[] = {
    {"Local", TunnelDelivery{TunnelDelivery::Local{}}, 1000, 63744},
    {"Router", TunnelDelivery{TunnelDelivery::Router{gateway()}}, 968, 63712},
    {"Tunnel", TunnelDelivery{TunnelDelivery::Tunnel{0x0a0b0c0d, gateway()}}, 964, 63708},
};

// Reads every cell back, checks the IVs and joins the fragments again.
struct Unpacked {
  std::vector<TunnelFragment> fragments;
  std::optional<ReassembledMessage> message;
};

Unpacked read_back(const std::vector<Bytes>& cells) {
  Unpacked out;
  FragmentReassembler r;
  const CellSource source{CellSource::Kind::OwnInbound, 1};
  for (std::size_t g = 0; g < cells.size(); ++g) {
    EXPECT_EQ(cells[g].size(), kCellSize);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(cells[g][i], kIv[i] ^ g) << "cell " << g << " IV byte " << i;
    auto fragments = unpack_tunnel_cell(cells[g]);
    if (!fragments) {
      ADD_FAILURE() << "cell " << g << ": " << fragments.error().message();
      return out;
    }
    EXPECT_EQ(fragments->size(), 1u);
    for (auto& f : *fragments) {
      out.fragments.push_back(f);
      if (auto m = r.add(source, std::move(f))) out.message = std::move(m);
    }
  }
  EXPECT_TRUE(r.pending.empty());
  return out;
}

TEST(FragmentMessage, LimitsOfEachDelivery) {
  for (const DeliveryCase& d : kDeliveries) {
    SCOPED_TRACE(d.name);
    EXPECT_EQ(max_tunnel_message_size(d.delivery), d.largest);
    struct Size {
      std::size_t length;
      std::size_t cells;
      std::size_t last_data;  // data bytes of the last cell
    };
    const Size sizes[] = {
        {0, 1, 0},
        {d.one_cell, 1, d.one_cell},
        {d.one_cell + 1, 2, 5},
        {d.largest, 64, 996},
    };
    for (const Size& s : sizes) {
      SCOPED_TRACE(s.length);
      const Bytes message = pattern(s.length, 3);
      auto cells = fragment_message_to_cells(d.delivery, 0x01020304, message, kIv, pattern(64, 9));
      ASSERT_TRUE(cells.has_value());
      ASSERT_EQ(cells->size(), s.cells);
      const Unpacked back = read_back(*cells);
      ASSERT_TRUE(back.message.has_value());
      EXPECT_EQ(back.message->message, message);
      EXPECT_EQ(back.message->delivery, d.delivery);

      const auto& head = std::get<TunnelFragment::First>(back.fragments.front().value);
      EXPECT_EQ(head.fragmented, s.cells > 1);
      EXPECT_EQ(head.msg_id, s.cells > 1 ? 0x01020304u : 0u);
      if (s.cells > 1) {
        EXPECT_EQ(head.data.size(), 996 - d.delivery.instruction_size());
        for (std::size_t g = 1; g < s.cells; ++g) {
          const auto& f = std::get<TunnelFragment::FollowOn>(back.fragments[g].value);
          EXPECT_EQ(f.number, static_cast<int>(g));
          EXPECT_EQ(f.is_last, g + 1 == s.cells);
          EXPECT_EQ(f.msg_id, 0x01020304u);
          EXPECT_EQ(f.data.size(), g + 1 == s.cells ? s.last_data : 996u);
        }
      } else {
        EXPECT_EQ(head.data.size(), s.last_data);
      }
    }

    // One byte more would need a 64th follow-on, whose number the six-bit field wraps to
    // 0: the slot of the first fragment.
    auto over = fragment_message_to_cells(d.delivery, 1, pattern(d.largest + 1, 3), kIv, {});
    ASSERT_FALSE(over.has_value());
    EXPECT_TRUE(over.error().is(TunnelError::InvalidLength));
    EXPECT_EQ(over.error().message(), msg("tunnel message exceeds ", d.largest, " bytes: ", d.largest + 1));
  }
}

// padding_needed is the longest padding any cell of the message holds: a cell's padding
// runs from offset 20 to the delimiter. A padding source of exactly that length gives the
// same cells as a longer one, so no cell reads past it.
TEST(FragmentMessage, PaddingNeededIsTheMostAnyCellHolds) {
  const Bytes long_source = pattern(kMaxCellBody, 0x41);
  for (const DeliveryCase& d : kDeliveries) {
    SCOPED_TRACE(d.name);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 4100; n += 7) lengths.push_back(n);
    for (std::size_t n :
         {d.one_cell - 1, d.one_cell, d.one_cell + 1, d.one_cell + 996, d.one_cell + 997, d.largest - 1, d.largest}) {
      lengths.push_back(n);
    }
    for (std::size_t length : lengths) {
      SCOPED_TRACE(length);
      const Bytes message = pattern(length, 5);
      auto cells = fragment_message_to_cells(d.delivery, 9, message, kIv, long_source);
      ASSERT_TRUE(cells);
      std::size_t most = 0;
      for (const Bytes& cell : *cells) {
        const auto delimiter = std::find(cell.begin() + 20, cell.end(), 0);
        ASSERT_NE(delimiter, cell.end());
        most = std::max(most, static_cast<std::size_t>(delimiter - cell.begin()) - 20);
      }
      const std::size_t needed = padding_needed(d.delivery, length);
      EXPECT_EQ(needed, most);
      auto exact = fragment_message_to_cells(d.delivery, 9, message, kIv, ByteView(long_source).first(needed));
      ASSERT_TRUE(exact);
      EXPECT_EQ(*exact, *cells);
    }
    EXPECT_EQ(padding_needed(d.delivery, d.largest + 1), 0u);
  }
}

TEST(FragmentMessage, FourCellsOf2993Bytes) {
  auto cells = fragment_message_to_cells(TunnelDelivery{}, 77, pattern(2993, 1), kIv, {});
  ASSERT_TRUE(cells.has_value());
  ASSERT_EQ(cells->size(), 4u);
  const Unpacked back = read_back(*cells);
  ASSERT_EQ(back.fragments.size(), 4u);
  const std::size_t sizes[] = {996, 996, 996, 5};
  EXPECT_EQ(std::get<TunnelFragment::First>(back.fragments[0].value).data.size(), sizes[0]);
  for (int g = 1; g <= 3; ++g) {
    const auto& f = std::get<TunnelFragment::FollowOn>(back.fragments[static_cast<std::size_t>(g)].value);
    EXPECT_EQ(f.number, g);
    EXPECT_EQ(f.is_last, g == 3);
    EXPECT_EQ(f.data.size(), sizes[g]);
  }
}

TEST(PackCell, LayoutOfPaddingAndDelimiter) {
  // A 1000-byte Local message fills the body: no padding, the delimiter at offset 20.
  const std::vector<TunnelFragment> full = {{TunnelFragment::First{TunnelDelivery{}, false, 0, pattern(1000, 1)}}};
  auto cell = pack_tunnel_cell(kIv, full, {});
  ASSERT_TRUE(cell.has_value());
  EXPECT_EQ((*cell)[20], 0);
  EXPECT_EQ((*cell)[21], 0x00);  // flag: Local, not fragmented
  EXPECT_EQ((*cell)[22], 0x03);  // size 1000
  EXPECT_EQ((*cell)[23], 0xe8);

  // No padding source: 1, 2, ..., 254, 1, 2, ...; a source's zero becomes 1.
  const std::vector<TunnelFragment> small = {{TunnelFragment::First{TunnelDelivery{}, false, 0, {}}}};
  cell = pack_tunnel_cell(kIv, small, {});
  ASSERT_TRUE(cell.has_value());
  ASSERT_EQ((*cell)[1020], 0);  // 1003 - 3 bytes of padding from offset 20
  for (std::size_t i = 0; i < 1000; ++i) ASSERT_EQ((*cell)[20 + i], i % 254 + 1) << i;
  cell = pack_tunnel_cell(kIv, small, Bytes{0, 7, 0, 9});
  ASSERT_TRUE(cell.has_value());
  EXPECT_EQ(Bytes(cell->begin() + 20, cell->begin() + 26), (Bytes{1, 7, 1, 9, 5, 6}));

  // The checksum covers the body, then the IV.
  Bytes covered(cell->begin() + 1021, cell->end());
  covered.insert(covered.end(), kIv.begin(), kIv.end());
  const auto digest = crypto::sha256(covered);
  EXPECT_EQ(Bytes(cell->begin() + 16, cell->begin() + 20), Bytes(digest.begin(), digest.begin() + 4));
}

TEST(PackCell, FlagBytes) {
  struct Case {
    TunnelFragment fragment;
    Bytes head;  // flag and what follows up to the data
  };
  const auto h = gateway().bytes;
  auto with_hash = [&](Bytes before, Bytes after) {
    before.insert(before.end(), h.begin(), h.end());
    before.insert(before.end(), after.begin(), after.end());
    return before;
  };
  const Case cases[] = {
      {{TunnelFragment::First{TunnelDelivery{}, false, 9, {}}}, {0x00, 0, 0}},  // msg id only when fragmented
      {{TunnelFragment::First{TunnelDelivery{}, true, 0x0a0b0c0d, {}}}, {0x08, 10, 11, 12, 13, 0, 0}},
      {{TunnelFragment::First{TunnelDelivery{TunnelDelivery::Tunnel{0x01020304, gateway()}}, true, 5, {}}},
       with_hash({0x28, 1, 2, 3, 4}, {0, 0, 0, 5, 0, 0})},
      {{TunnelFragment::First{TunnelDelivery{TunnelDelivery::Router{gateway()}}, false, 0, {}}},
       with_hash({0x40}, {0, 0})},
      {{TunnelFragment::FollowOn{1, false, 0x10203040, {}}}, {0x82, 0x10, 0x20, 0x30, 0x40, 0, 0}},
      {{TunnelFragment::FollowOn{63, true, 1, {}}}, {0xff, 0, 0, 0, 1, 0, 0}},
      {{TunnelFragment::FollowOn{42, true, 1, {}}}, {0x80 | 42 << 1 | 1, 0, 0, 0, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    auto cell = pack_tunnel_cell(kIv, std::span(&c.fragment, 1), {});
    ASSERT_TRUE(cell.has_value());
    EXPECT_EQ(Bytes(cell->end() - static_cast<std::ptrdiff_t>(c.head.size()), cell->end()), c.head);
    EXPECT_EQ((*cell)[kCellSize - c.head.size() - 1], 0);
  }
}

TEST(PackCell, Refusals) {
  const std::vector<TunnelFragment> one = {{TunnelFragment::First{TunnelDelivery{}, false, 0, pattern(10, 1)}}};
  // 1 flag + 2 size + 1001 data = a body of 1004 bytes.
  const std::vector<TunnelFragment> too_long = {{TunnelFragment::First{TunnelDelivery{}, false, 0, pattern(1001, 1)}}};
  // Two fragments that fit alone but not together.
  const std::vector<TunnelFragment> two = {{TunnelFragment::First{TunnelDelivery{}, false, 0, pattern(500, 1)}},
                                           {TunnelFragment::FollowOn{1, true, 3, pattern(494, 2)}}};
  const std::vector<TunnelFragment> number0 = {{TunnelFragment::FollowOn{0, true, 3, {}}}};
  const std::vector<TunnelFragment> number64 = {{TunnelFragment::FollowOn{64, false, 3, {}}}};
  struct Case {
    Bytes iv;
    const std::vector<TunnelFragment>* fragments;
    TunnelError variant;
    const char* message;
  };
  const Case cases[] = {
      {pattern(15, 0), &one, TunnelError::InvalidLength, "TunnelData IV must be 16 bytes, got 15"},
      {pattern(17, 0), &too_long, TunnelError::InvalidLength, "TunnelData IV must be 16 bytes, got 17"},
      {kIv, &too_long, TunnelError::InvalidLength, "TunnelData fragments exceed 1003 bytes: 1004"},
      {kIv, &two, TunnelError::InvalidLength, "TunnelData fragments exceed 1003 bytes: 1004"},
      {kIv, &number0, TunnelError::Invalid, "follow-on fragment number must be 1..63, got 0"},
      {kIv, &number64, TunnelError::Invalid, "follow-on fragment number must be 1..63, got 64"},
  };
  for (const Case& c : cases) {
    auto r = pack_tunnel_cell(c.iv, *c.fragments, {});
    ASSERT_FALSE(r.has_value()) << c.message;
    EXPECT_TRUE(r.error().is(c.variant)) << c.message;
    EXPECT_EQ(r.error().message(), c.message);
  }

  auto bad_base = fragment_message_to_cells(TunnelDelivery{}, 1, pattern(10, 1), pattern(15, 0), {});
  ASSERT_FALSE(bad_base.has_value());
  EXPECT_TRUE(bad_base.error().is(TunnelError::InvalidLength));
  EXPECT_EQ(bad_base.error().message(), "base_iv must be 16 bytes");
}

// A cell with the given body, a valid checksum and padding.
Bytes cell_with_body(const Bytes& body) {
  Bytes cell(kCellSize, 0x55);
  std::copy(kIv.begin(), kIv.end(), cell.begin());
  std::copy(body.begin(), body.end(), cell.end() - static_cast<std::ptrdiff_t>(body.size()));
  cell[kCellSize - body.size() - 1] = 0;
  Bytes covered = body;
  covered.insert(covered.end(), kIv.begin(), kIv.end());
  const auto digest = crypto::sha256(covered);
  std::copy_n(digest.begin(), 4, cell.begin() + 16);
  return cell;
}

TEST(UnpackCell, Refusals) {
  Bytes no_delimiter = cell_with_body({});
  no_delimiter[kCellSize - 1] = 0x55;
  Bytes bad_sum = cell_with_body({0x00, 0x00, 0x01, 0x42});
  bad_sum[kCellSize - 1] ^= 1;
  Bytes hash_cut(1 + 4 + 20, 0);
  hash_cut[0] = 0x20;  // Tunnel delivery, but only 20 bytes of the router hash follow
  struct Case {
    Bytes cell;
    TunnelError variant;
    const char* message;  // nullptr: a wrapped reader error
  };
  const Case cases[] = {
      {Bytes(1023, 1), TunnelError::InvalidLength, "TunnelData cell must be 1024 bytes, got 1023"},
      {Bytes(1025, 1), TunnelError::InvalidLength, "TunnelData cell must be 1024 bytes, got 1025"},
      {no_delimiter, TunnelError::Invalid, "TunnelData cell missing 0x00 padding delimiter"},
      {bad_sum, TunnelError::Invalid, "TunnelData checksum mismatch"},
      {cell_with_body({0x60, 0x00, 0x00}), TunnelError::Invalid, "invalid TunnelData delivery type: 3"},
      // A whole first fragment, then one whose data runs past the end: nothing comes back.
      {cell_with_body({0x00, 0x00, 0x01, 0x42, 0x00, 0x00, 0x05, 1, 2}), TunnelError::Encoding, nullptr},
      {cell_with_body({0x80, 0, 0, 0}), TunnelError::Encoding, nullptr},
      {cell_with_body(hash_cut), TunnelError::Encoding, nullptr},
  };
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    auto r = unpack_tunnel_cell(cases[i].cell);
    ASSERT_FALSE(r.has_value()) << i;
    EXPECT_TRUE(r.error().is(cases[i].variant)) << i;
    if (cases[i].message != nullptr) {
      EXPECT_EQ(r.error().message(), cases[i].message);
    } else {
      ASSERT_NE(r.error().inner(), nullptr) << i;
      EXPECT_TRUE(r.error().inner()->is(EncodingError::Truncated)) << i;
    }
  }
}

TEST(UnpackCell, ReadsWhatTheFlagsSay) {
  // Bits of a first fragment's flag other than delivery and "fragmented" are ignored; the
  // delimiter is the first zero from offset 20 even when the body starts with zeros.
  const Bytes body = {0x17, 0x00, 0x02, 0xaa, 0xbb, 0x83, 0, 0, 0, 9, 0x00, 0x01, 0xcc};
  auto r = unpack_tunnel_cell(cell_with_body(body));
  ASSERT_TRUE(r.has_value());
  const std::vector<TunnelFragment> expected = {
      {TunnelFragment::First{TunnelDelivery{}, false, 0, {0xaa, 0xbb}}},
      {TunnelFragment::FollowOn{1, true, 9, {0xcc}}},
  };
  EXPECT_EQ(*r, expected);

  Bytes empty_body = cell_with_body({});
  auto none = unpack_tunnel_cell(empty_body);
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(none->empty());
}

}  // namespace
}  // namespace tunnel

namespace tunnel {
namespace {

// The verdict a cell's checksum should get, worked out with OpenSSL: 1024 bytes, a zero
// at or after offset 20, and SHA-256(body || IV) starting with bytes 16..19.
bool openssl_checksum_ok(const Bytes& cell) {
  if (cell.size() != kCellSize) return false;
  std::size_t zero = 20;
  while (zero < kCellSize && cell[zero] != 0) ++zero;
  if (zero == kCellSize) return false;
  Bytes input(cell.begin() + static_cast<std::ptrdiff_t>(zero) + 1, cell.end());
  input.insert(input.end(), cell.begin(), cell.begin() + 16);
  const Bytes digest = openssl_ref::digest(EVP_sha256(), input);
  return std::equal(digest.begin(), digest.begin() + 4, cell.begin() + 16);
}

// Many cells checked together (the hashes side by side once there are eight or more):
// the cells of long messages, each delivery's, with some spoilt in the ways that matter.
TEST(CheckCellChecksums, AgreesWithOpenSslAndWithUnpack) {
  std::vector<Bytes> cells;
  for (const DeliveryCase& d : kDeliveries) {
    auto made = fragment_message_to_cells(d.delivery, 0x51, pattern(9000, 3), kIv, pattern(1000, 7));
    ASSERT_TRUE(made.has_value()) << d.name;
    cells.insert(cells.end(), made->begin(), made->end());
  }
  cells[1][17] ^= 0x01;                                       // the checksum field
  cells[4][kCellSize - 1] ^= 0x80;                            // the body
  cells[6][3] ^= 0x10;                                        // the IV
  cells[9].assign(kCellSize, 0x33);                           // no delimiter
  cells[12].resize(1000);                                     // short
  cells.push_back(cell_with_body({0x00, 0x00, 0x01, 0x42}));  // a cell with a small body
  for (std::size_t count : {std::size_t{3}, cells.size()}) {
    SCOPED_TRACE(count);
    std::vector<ByteView> views(cells.begin(), cells.begin() + static_cast<std::ptrdiff_t>(count));
    auto ok = std::make_unique<bool[]>(count);
    check_cell_checksums(views, std::span(ok.get(), count));
    for (std::size_t i = 0; i < count; ++i) {
      EXPECT_EQ(ok[i], openssl_checksum_ok(cells[i])) << "cell " << i;
      const auto full = unpack_tunnel_cell(cells[i]);
      EXPECT_EQ(ok[i], full.has_value()) << "cell " << i;
      if (!ok[i]) continue;
      const auto checked = unpack_checked_tunnel_cell(cells[i]);
      ASSERT_TRUE(checked.has_value()) << "cell " << i;
      EXPECT_EQ(*checked, *full) << "cell " << i;
    }
  }
  EXPECT_TRUE(openssl_checksum_ok(cells[0]));
  EXPECT_FALSE(openssl_checksum_ok(cells[1]));
}

TEST(CheckCellChecksums, CheckedUnpackStillRefusesBadShapes) {
  Bytes no_delimiter(kCellSize, 0x55);
  auto r = unpack_checked_tunnel_cell(no_delimiter);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "TunnelData cell missing 0x00 padding delimiter");
  r = unpack_checked_tunnel_cell(Bytes(1023, 1));
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(TunnelError::InvalidLength));
  r = unpack_checked_tunnel_cell(cell_with_body({0x80, 0, 0, 0}));
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().is(TunnelError::Encoding));
}

}  // namespace
}  // namespace tunnel
