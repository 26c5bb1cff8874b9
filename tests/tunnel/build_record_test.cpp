// Short tunnel build records compared byte for byte with tests/tunnel/build_kat.py, an
// independent model on python3's 'cryptography' package (its Noise state, hop keys and
// ChaCha20 checked against published vectors): the creator's records, each hop opening
// its own and writing its reply, and the creator reading the replies; then the checks
// that refuse bad input.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "crypto/sha256.h"
#include "tests/tunnel/tunnel_test_util.h"
#include "tunnel/build_record.h"

namespace tunnel {
namespace {

#include "tests/tunnel/build_kat_vectors.inc"

using tunnel_test::hex;
using tunnel_test::key32;
using tunnel_test::pattern;
using tunnel_test::unhex;

common::Hash hash_of(std::string_view text) { return common::Hash{crypto::sha256(as_bytes(text))}; }

noise::KeyPair key_pair(unsigned seed) {
  auto k = noise::KeyPair::from_private(pattern(32, seed));
  EXPECT_TRUE(k);
  return k.value_or(noise::KeyPair{});
}

std::array<std::uint8_t, 8> eight(unsigned seed) {
  std::array<std::uint8_t, 8> out{};
  const Bytes p = pattern(8, seed);
  std::copy(p.begin(), p.end(), out.begin());
  return out;
}

struct KatBuild {
  noise::KeyPair static_a = key_pair(0x11), static_b = key_pair(0x22);
  std::vector<ShortHopBuildSpec> hops;
  std::vector<Bytes> records{Bytes(kBuildRecordSize, 0), pattern(kBuildRecordSize, 0x55), Bytes(kBuildRecordSize, 0),
                             pattern(kBuildRecordSize, 0x66)};

  KatBuild() {
    ShortHopBuildSpec a;
    a.slot_idx = 2;
    a.hop_hash = hash_of("hop A");
    a.hop_static_pub = Bytes(static_a.public_key.begin(), static_a.public_key.end());
    a.ephemeral = key_pair(0x33);
    a.request = {0x01020304, 0x0A0B0C0D, hash_of("hop B"), 0, 0, 29000000, 600, 0x11223344, {}};
    a.padding = eight(0x77);
    ShortHopBuildSpec b;
    b.slot_idx = 0;
    b.hop_hash = hash_of("hop B");
    b.hop_static_pub = Bytes(static_b.public_key.begin(), static_b.public_key.end());
    b.ephemeral = key_pair(0x44);
    b.request = {0x0A0B0C0D, 0xCAFEBABE, hash_of("reply gateway"), kBuildFlagOutboundEndpoint, 0, 29000000, 600,
                 0x55667788, {}};
    b.padding = eight(0x88);
    hops = {a, b};
  }
};

std::string joined(const std::vector<Bytes>& records) {
  std::string out;
  for (const Bytes& r : records) out += hex(r);
  return out;
}

void expect_keys(const HopKeys& k, const char* reply, const char* layer, const char* iv, const char* ad) {
  EXPECT_EQ(hex(k.reply_key), reply);
  EXPECT_EQ(hex(k.layer_key), layer);
  EXPECT_EQ(hex(k.iv_key), iv);
  EXPECT_EQ(hex(k.reply_ad), ad);
}

TEST(BuildRecordKat, CreatorRecordsMatchTheModel) {
  KatBuild kat;
  auto keys = write_short_build_requests(kat.records, kat.hops);
  ASSERT_TRUE(keys) << to_string(keys.error());
  EXPECT_EQ(joined(kat.records), kSentRecords);
  ASSERT_EQ(keys->size(), 2u);
  EXPECT_EQ((*keys)[0].first, 2u);
  EXPECT_EQ((*keys)[1].first, 0u);
  expect_keys((*keys)[0].second, kReplyKeyA, kLayerKeyA, kIvKeyA, kReplyAdA);
  expect_keys((*keys)[1].second, kReplyKeyB, kLayerKeyB, kIvKeyB, kReplyAdB);
  EXPECT_FALSE((*keys)[0].second.garlic_reply_key);
  ASSERT_TRUE((*keys)[1].second.garlic_reply_key && (*keys)[1].second.garlic_reply_tag);
  EXPECT_EQ(hex(*(*keys)[1].second.garlic_reply_key), kGarlicKeyB);
  EXPECT_EQ(hex(*(*keys)[1].second.garlic_reply_tag), kGarlicTagB);
}

TEST(BuildRecordKat, FieldsAreFiftyEightBytesThenPaddingThenZeros) {
  KatBuild kat;
  auto fields = kat.hops[0].request.encode();
  ASSERT_TRUE(fields);
  ASSERT_EQ(fields->size(), 58u);
  const Bytes clear = unhex(kRequestCleartextA);
  ASSERT_EQ(clear.size(), kBuildRequestCleartextSize);
  EXPECT_EQ(hex(*fields), hex(ByteView(clear).first(58)));
  EXPECT_EQ(hex(ByteView(clear).subspan(58, 8)), hex(pattern(8, 0x77)));
  EXPECT_EQ(hex(ByteView(clear).subspan(66)), std::string(2 * 88, '0'));
  auto decoded = ShortBuildRequestRecord::decode(clear);
  ASSERT_TRUE(decoded) << to_string(decoded.error());
  EXPECT_EQ(*decoded, kat.hops[0].request);
}

TEST(BuildRecordKat, EachHopOpensItsRecordAndRepliesAsTheModel) {
  KatBuild kat;
  const Bytes sent = unhex(kSentRecords);
  std::vector<Bytes> records;
  for (std::size_t i = 0; i < 4; ++i) records.emplace_back(sent.begin() + 218 * i, sent.begin() + 218 * (i + 1));

  auto a = open_short_build_request(kat.static_a, records[2]);
  ASSERT_TRUE(a) << to_string(a.error());
  EXPECT_EQ(a->request, kat.hops[0].request);
  expect_keys(a->keys, kReplyKeyA, kLayerKeyA, kIvKeyA, kReplyAdA);
  ASSERT_TRUE(write_short_build_reply(records, 2, a->keys, eight(0x99), 0));
  EXPECT_EQ(joined(records), kAfterHopA);

  // B's record is readable only once A's layer is gone.
  auto b = open_short_build_request(kat.static_b, records[0]);
  ASSERT_TRUE(b) << to_string(b.error());
  EXPECT_EQ(b->request, kat.hops[1].request);
  expect_keys(b->keys, kReplyKeyB, kLayerKeyB, kIvKeyB, kReplyAdB);
  std::vector<Bytes> refused = records;
  ASSERT_TRUE(write_short_build_reply(records, 0, b->keys, eight(0xAA), 0));
  EXPECT_EQ(joined(records), kAfterHopB);
  ASSERT_TRUE(write_short_build_reply(refused, 0, b->keys, eight(0xAA), 30));
  EXPECT_EQ(joined(refused), kAfterHopBRefused);
}

TEST(BuildRecordKat, CreatorReadsEveryHopsCode) {
  KatBuild kat;
  auto keys = write_short_build_requests(kat.records, kat.hops);
  ASSERT_TRUE(keys);
  for (auto [text, codes] : {std::pair{kAfterHopB, std::vector<std::uint8_t>{0, 0}},
                             std::pair{kAfterHopBRefused, std::vector<std::uint8_t>{0, 30}}}) {
    const Bytes all = unhex(text);
    std::vector<Bytes> records;
    for (std::size_t i = 0; i < 4; ++i) records.emplace_back(all.begin() + 218 * i, all.begin() + 218 * (i + 1));
    auto read = open_short_build_replies(records, *keys);
    ASSERT_TRUE(read) << to_string(read.error());
    EXPECT_EQ(*read, codes);
  }
}

TEST(BuildRecord, ForgedOrDamagedRepliesAreRefusedWhole) {
  KatBuild kat;
  auto keys = write_short_build_requests(kat.records, kat.hops);
  ASSERT_TRUE(keys);
  const Bytes all = unhex(kAfterHopB);
  std::vector<Bytes> good;
  for (std::size_t i = 0; i < 4; ++i) good.emplace_back(all.begin() + 218 * i, all.begin() + 218 * (i + 1));
  ASSERT_TRUE(open_short_build_replies(good, *keys));

  // Any changed byte of a hop's record, in either slot, fails the whole reply.
  for (std::size_t slot : {0u, 2u}) {
    for (std::size_t at : {0u, 100u, 201u, 217u}) {
      std::vector<Bytes> bad = good;
      bad[slot][at] ^= 0x01;
      EXPECT_FALSE(open_short_build_replies(bad, *keys)) << slot << " " << at;
    }
  }
  // Random records, as whoever guesses the message id would send.
  std::vector<Bytes> forged(4, pattern(kBuildRecordSize, 0x12));
  auto f = open_short_build_replies(forged, *keys);
  ASSERT_FALSE(f);
  EXPECT_TRUE(f.error().is(TunnelError::Crypto));

  std::vector<Bytes> missing(good.begin(), good.begin() + 2);
  auto m = open_short_build_replies(missing, *keys);
  ASSERT_FALSE(m);
  EXPECT_EQ(m.error(), Error(TunnelError::InvalidLength, "reply slot index out of bounds: 2"));
  std::vector<Bytes> short_record = good;
  short_record[0].pop_back();
  auto s = open_short_build_replies(short_record, *keys);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), Error(TunnelError::InvalidLength, "ShortBuildReplyRecord must be 218 bytes, got 217"));
  auto empty = open_short_build_replies({}, *keys);
  EXPECT_FALSE(empty);
}

TEST(BuildRecord, RecordBuilderChecksItsArguments) {
  struct Case {
    const char* name;
    std::function<void(KatBuild&)> change;
    Error expected;
  };
  const std::vector<Case> cases = {
      {"slot out of range", [](KatBuild& k) { k.hops[0].slot_idx = 4; },
       Error(TunnelError::InvalidLength, "hop slot_idx out of range: 4")},
      {"slot used twice", [](KatBuild& k) { k.hops[1].slot_idx = 2; },
       Error(TunnelError::Invalid, "duplicate hop slot_idx: 2")},
      {"fewer slots than hops", [](KatBuild& k) { k.records.resize(1); },
       Error(TunnelError::InvalidLength, "total_slots must be >= hops.length()")},
      {"hop key of 31 bytes", [](KatBuild& k) { k.hops[1].hop_static_pub.pop_back(); },
       Error(TunnelError::InvalidLength, "hop_static_pub must be 32 bytes")},
  };
  for (const Case& c : cases) {
    KatBuild kat;
    c.change(kat);
    auto r = write_short_build_requests(kat.records, kat.hops);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error(), c.expected) << c.name << ": " << to_string(r.error());
  }

  // Options that leave no room: fields over 154 bytes.
  KatBuild big;
  big.hops[0].request.options.entries.emplace_back("k", std::string(100, 'v'));
  auto r = write_short_build_requests(big.records, big.hops);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), Error(TunnelError::InvalidLength, "ShortBuildRequestRecord exceeds 154 bytes: 163"));
}

TEST(BuildRecord, HopRefusesWhatItCannotOpen) {
  KatBuild kat;
  ASSERT_TRUE(write_short_build_requests(kat.records, kat.hops));
  // Hop A's record is still under no layer; B's is under A's.
  auto wrong_key = open_short_build_request(kat.static_b, kat.records[2]);
  ASSERT_FALSE(wrong_key);
  EXPECT_TRUE(wrong_key.error().is(TunnelError::Noise));
  auto layered = open_short_build_request(kat.static_b, kat.records[0]);
  EXPECT_FALSE(layered);
  Bytes flipped = kat.records[2];
  flipped[100] ^= 0x80;
  EXPECT_FALSE(open_short_build_request(kat.static_a, flipped));
  Bytes short_record(kat.records[2].begin(), kat.records[2].end() - 1);
  auto s = open_short_build_request(kat.static_a, short_record);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), Error(TunnelError::InvalidLength, "ShortTunnelBuild record must be 218 bytes, got 217"));
  EXPECT_EQ(hex(build_record_ephemeral(kat.records[2])), hex(kat.hops[0].ephemeral.public_key));

  auto bad_size = ShortBuildRequestRecord::decode(Bytes(153, 0));
  ASSERT_FALSE(bad_size);
  EXPECT_EQ(bad_size.error(), Error(TunnelError::InvalidLength, "ShortBuildRequestRecord must be 154 bytes, got 153"));
}

TEST(BuildRecord, ReplyNeedsItsSlotAndWholeRecords) {
  const HopKeys keys{key32(1), key32(2), key32(3), key32(4), std::nullopt, std::nullopt};
  std::vector<Bytes> records(4, Bytes(kBuildRecordSize, 7));
  auto out = write_short_build_reply(records, 4, keys, eight(1), 0);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error(), Error(TunnelError::InvalidLength, "reply slot index out of bounds: 4"));
  records[3].push_back(0);
  EXPECT_FALSE(write_short_build_reply(records, 0, keys, eight(1), 0));
}

}  // namespace
}  // namespace tunnel
