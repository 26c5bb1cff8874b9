// Bencode decoding and canonical encoding, checked against hand-made inputs of the
// protocol's rules and against libtorrent's own encoder and decoder run in python.
#include "bittorrent/bencode.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/bittorrent/bt_test_support.h"

namespace bittorrent {
namespace {

using bt_test::B;

std::string Enc(const BVal& v) {
  Bytes b = bencode_encode(v);
  return std::string(b.begin(), b.end());
}

struct Bad {
  std::string input;
  std::string message;
};

TEST(Bencode, EveryErrorMessageFromItsSmallestInput) {
  const Bad cases[] = {
      {std::string(66, 'l') + std::string(66, 'e'), "bencode nesting depth exceeded"},
      {"", "unexpected EOF"},
      {"d3:key", "unexpected EOF"},
      {"i123", "unterminated integer"},
      {"l", "unterminated list"},
      {"li1e", "unterminated list"},
      {"d", "unterminated dictionary"},
      {"d1:ai1e", "unterminated dictionary"},
      {"di1ei2ee", "dictionary key must be byte string"},
      {"dlei2ee", "dictionary key must be byte string"},
      {"12", "missing ':' in byte string"},
      {"33554433:", "invalid byte string length: 33554433"},
      {"3:ab", "truncated byte string"},
      {"x", "unexpected bencode tag byte: 120"},
      {"-3:abc", "unexpected bencode tag byte: 45"},
      {"i1ei2e", "trailing bytes after bencode root: 3"},
      {"ie", "empty integer field"},
      {"i-e", "dangling minus sign"},
      {"i-0e", "negative zero or leading zero after minus"},
      {"i-01e", "negative zero or leading zero after minus"},
      {"i00e", "leading zero in integer"},
      {"i01e", "leading zero in integer"},
      {"00:", "leading zero in integer"},
      {"i12x4e", "non-digit byte in integer: 120"},
      {"i1-e", "non-digit byte in integer: 45"},
      {"1x:a", "non-digit byte in integer: 120"},
      {"i9223372036854775808e", "integer out of range"},
      {"i-9223372036854775809e", "integer out of range"},
      {"i99999999999999999999e", "integer out of range"},
      {"99999999999999999999:x", "integer out of range"},
      {"18446744073709551617:x", "integer out of range"},
      // A stray byte in a long number is still reported as the stray byte.
      {"i99999999999999999999x9e", "non-digit byte in integer: 120"},
  };
  for (const Bad& c : cases) {
    auto r = bencode_decode(B(c.input));
    ASSERT_FALSE(r.has_value()) << c.input;
    EXPECT_TRUE(r.error().is(BittorrentError::Bencode)) << to_string(r.error());
    EXPECT_EQ(r.error().message(), c.message) << c.input;
  }
}

// The same integers and faults as the first element of a longer list, where the decoder
// reads many bytes at a time: values of every width and each fault keep their message.
TEST(Bencode, IntegersAndFaultsInsideLongerInput) {
  const std::string tail = "0:0:0:0:e";
  const std::string digits = "123456789012345678";
  for (std::size_t width = 1; width <= digits.size(); ++width) {
    for (const bool negative : {false, true}) {
      std::string text = negative ? "-" : "";
      text.append(digits, 0, width);
      std::string input = "li";
      input.append(text).append("e").append(tail);
      auto r = bencode_decode(B(input));
      ASSERT_TRUE(r.has_value()) << text;
      ASSERT_EQ(r->as_list()->size(), 5u);
      EXPECT_EQ(*(*r->as_list())[0].as_int(), std::stoll(text)) << text;
    }
  }
  const Bad cases[] = {
      {"i0e", ""},
      {"ie", "empty integer field"},
      {"i-e", "dangling minus sign"},
      {"i-0e", "negative zero or leading zero after minus"},
      {"i00e", "leading zero in integer"},
      {"i0123456e", "leading zero in integer"},
      {"i01234567e", "leading zero in integer"},
      {"i1234567xe", "non-digit byte in integer: 120"},
      {"i12x4e", "non-digit byte in integer: 120"},
      {"i1:e", "non-digit byte in integer: 58"},
      {"i\x80"
       "e",
       "non-digit byte in integer: 128"},
      {"00:", "leading zero in integer"},
      {"1x:a", "non-digit byte in integer: 120"},
      {"33554433:", "invalid byte string length: 33554433"},
      {"99999999:", "invalid byte string length: 99999999"},
      {"999999999:", "invalid byte string length: 999999999"},
  };
  for (const Bad& c : cases) {
    auto r = bencode_decode(B("l" + c.input + tail));
    if (c.message.empty()) {
      EXPECT_TRUE(r.has_value()) << c.input;
      continue;
    }
    ASSERT_FALSE(r.has_value()) << c.input;
    EXPECT_EQ(r.error().message(), c.message) << c.input;
  }
}

TEST(Bencode, DecodesTheSmallValues) {
  EXPECT_EQ(*bencode_decode(B("i0e"))->as_int(), 0);
  EXPECT_EQ(*bencode_decode(B("i-12e"))->as_int(), -12);
  EXPECT_EQ(*bencode_decode(B("0:"))->as_bytes(), "");
  EXPECT_EQ(*bencode_decode(B("4:spam"))->as_bytes(), "spam");
  EXPECT_TRUE(bencode_decode(B("le"))->as_list()->empty());
  EXPECT_TRUE(bencode_decode(B("de"))->as_dict()->empty());
  // A byte string may hold any byte, bencode tags included.
  EXPECT_EQ(*bencode_decode(B("3:e:d"))->as_bytes(), "e:d");
  EXPECT_EQ(*bencode_decode(B(std::string("2:\0\xFF", 4)))->as_bytes(), std::string("\0\xFF", 2));
}

TEST(Bencode, DepthLimitCountsKeysAndValuesOneLevelDown) {
  const std::string ok = std::string(65, 'l') + std::string(65, 'e');
  EXPECT_TRUE(bencode_decode(B(ok)).has_value());
  const std::string int_at_65 = std::string(65, 'l') + "i1e" + std::string(65, 'e');
  EXPECT_EQ(bt_test::ErrorOf(bencode_decode(B(int_at_65))), "bencode nesting depth exceeded");
  const std::string int_at_64 = std::string(64, 'l') + "i1e" + std::string(64, 'e');
  EXPECT_TRUE(bencode_decode(B(int_at_64)).has_value());
  // Dictionaries count like lists: 64 of them put their innermost value at depth 64, and
  // a 65th (at depth 64) has its key at depth 65.
  std::string dicts;
  for (int i = 0; i < 64; ++i) dicts += "d1:k";
  EXPECT_TRUE(bencode_decode(B(dicts + "i1e" + std::string(64, 'e'))).has_value());
  EXPECT_EQ(bt_test::ErrorOf(bencode_decode(B(dicts + "d1:ki1ee" + std::string(64, 'e')))),
            "bencode nesting depth exceeded");
}

TEST(Bencode, LongestStringIsAcceptedOneMoreIsNot) {
  std::string input = "33554432:" + std::string(33'554'432, 'z');
  auto r = bencode_decode(B(input));
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->as_bytes()->size(), 33'554'432u);
  // One more is refused even when the input holds every declared byte.
  input = "33554433:" + std::string(33'554'433, 'z');
  r = bencode_decode(B(input));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "invalid byte string length: 33554433");
}

TEST(Bencode, DecodeAtGivesTheEndOffset) {
  auto r = decode_bval_at(B("i1ei2e"), 0, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r->value.as_int(), 1);
  EXPECT_EQ(r->end, 3u);
  auto second = decode_bval_at(B("i1ei2e"), 3, 0);
  EXPECT_EQ(*second->value.as_int(), 2);
  EXPECT_EQ(second->end, 6u);
  EXPECT_EQ(bt_test::ErrorOf(decode_bval_at(B("i1e"), 3, 0)), "unexpected EOF");
  EXPECT_EQ(bt_test::ErrorOf(decode_bval_at(B("i1e"), 0, 65)), "bencode nesting depth exceeded");
}

TEST(Bencode, EncodingSortsKeysBytewiseAndLeavesTheValueAlone) {
  auto d = bencode_decode(B("d1:bi1e1:ai2ee"));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(Enc(*d), "d1:ai2e1:bi1ee");
  EXPECT_EQ(d->as_dict()->front().key, "b");  // the decoded order is kept
  BVal::Dict entries;
  entries.push_back({"\xFF", BVal::integer(1)});
  entries.push_back({"ab", BVal::integer(2)});
  entries.push_back({"z", BVal::integer(3)});
  entries.push_back({"a", BVal::integer(4)});
  EXPECT_EQ(Enc(BVal::dict(entries)), std::string("d1:ai4e2:abi2e1:zi3e1:\xFFi1ee"));
  EXPECT_EQ(Enc(BVal::integer(INT64_MIN)), "i-9223372036854775808e");
}

// A dictionary that holds keys more than once (decoding keeps them) encodes the entries of
// one key in their own order, so the canonical form is stable across decode and encode.
TEST(Bencode, EncodingKeepsTheOrderOfRepeatedKeys) {
  std::string input = "d";
  std::string expected_a = "", expected_b = "";
  for (int i = 0; i < 40; ++i) {
    const std::string entry = std::string(i % 2 == 0 ? "1:b" : "1:a") + "i" + std::to_string(i) + "e";
    input += entry;
    (i % 2 == 0 ? expected_b : expected_a) += entry;
  }
  input += "e";
  const std::string expected = "d" + expected_a + expected_b + "e";
  auto d = bencode_decode(B(input));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(Enc(*d), expected);
  auto again = bencode_decode(B(expected));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(Enc(*again), expected);
}

TEST(Bencode, DictionaryGetters) {
  auto d =
      bencode_decode(B("d1:ai1e1:ai2e1:s3:abc1:u1:\xFF"
                       "1:li1ee"));
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(bdict_get_int(*d, "a"), 1);  // the first of a repeated key
  EXPECT_EQ(bdict_get_string(*d, "s"), "abc");
  EXPECT_EQ(bdict_get_string(*d, "u"), std::nullopt);  // not UTF-8
  EXPECT_EQ(bdict_get_int(*d, "s"), std::nullopt);
  EXPECT_EQ(bdict_get_bytes(*d, "a"), nullptr);
  EXPECT_EQ(bdict_get(*d, "missing"), nullptr);
  EXPECT_EQ(bdict_get(*bencode_decode(B("l1:ae")), "a"), nullptr);
  EXPECT_EQ(bdict_get(*bencode_decode(B("i1e")), "a"), nullptr);
}

// 19- and 20-digit integers against python's own arithmetic: in range they decode to
// exactly python's value and re-encode to libtorrent's bytes; out of range they are refused.
TEST(Bencode, LongIntegersAgreeWithPython) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
lo, hi = -2**63, 2**63 - 1
vals = [hi, hi + 1, lo, lo - 1, 10**18, 10**19 - 1, 10**19, -(10**19 - 1), -(10**19), 2**64 - 1, 2**64, 2**64 + 5,
        99999999999999999999, -99999999999999999999, 12345678901234567890]
for v in vals:
    enc = lt.bencode(v) if lo <= v <= hi else b'i%de' % v
    print(enc.decode(), 1 if lo <= v <= hi else 0, v)
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 15u);
  for (const std::string& line : lines) {
    std::istringstream in(line);
    std::string enc, value;
    int ok;
    in >> enc >> ok >> value;
    auto r = bencode_decode(B(enc));
    if (ok == 1) {
      ASSERT_TRUE(r.has_value()) << line;
      EXPECT_EQ(std::to_string(*r->as_int()), value);
      EXPECT_EQ(Enc(*r), enc);
    } else {
      ASSERT_FALSE(r.has_value()) << line;
      EXPECT_EQ(r.error().message(), "integer out of range") << line;
    }
  }
}

// Random nested values encoded by libtorrent: we decode them and encode the same bytes; and
// dictionaries written with unsorted keys come out as libtorrent's canonical form.
TEST(Bencode, RoundTripsOfLibtorrentEncodings) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
random.seed(7)
def val(d):
    k = random.randrange(4 if d < 6 else 2)
    if k == 0: return random.randrange(-2**63, 2**63)
    if k == 1: return bytes(random.randrange(256) for _ in range(random.randrange(40)))
    if k == 2: return [val(d + 1) for _ in range(random.randrange(5))]
    return {bytes(random.randrange(256) for _ in range(random.randrange(1, 6))): val(d + 1) for _ in range(random.randrange(5))}
def unsorted(v):
    if isinstance(v, dict):
        items = list(v.items()); random.shuffle(items)
        return b'd' + b''.join(lt.bencode(k) + unsorted(x) for k, x in items) + b'e'
    if isinstance(v, list): return b'l' + b''.join(unsorted(x) for x in v) + b'e'
    return lt.bencode(v)
for i in range(200):
    v = val(0)
    print(lt.bencode(v).hex(), unsorted(v).hex())
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 200u);
  for (const std::string& line : lines) {
    const std::size_t sp = line.find(' ');
    const Bytes canonical = bt_test::Unhex(line.substr(0, sp));
    const Bytes shuffled = bt_test::Unhex(line.substr(sp + 1));
    auto a = bencode_decode(canonical);
    ASSERT_TRUE(a.has_value()) << line;
    EXPECT_EQ(bencode_encode(*a), canonical);
    auto b = bencode_decode(shuffled);
    ASSERT_TRUE(b.has_value()) << line;
    EXPECT_EQ(bencode_encode(*b), canonical);
  }
}

// Many containers of many sizes in one input (a .torrent-like file list, nested lists from
// empty to long, repeated keys): the decoded counts and re-encoding match libtorrent's.
TEST(Bencode, ManyContainersAgreeWithLibtorrent) {
  TempDir dir;
  auto out = bt_test::RunPython(dir.path(), R"(
random.seed(11)
files = [{b'length': random.randrange(10**9), b'path': [b'dir%d' % (i % 7)] * (i % 4) + [b'f%d' % i]} for i in range(3000)]
lists = [[random.randrange(-9, 9) for _ in range(n)] for n in range(0, 300, 7)]
v = {b'info': {b'files': files, b'pieces': bytes(random.randrange(256) for _ in range(20 * 50))}, b'lists': lists}
enc = lt.bencode(v)
# The same dictionary once more with a repeated key, spliced in by hand.
dup = b'l' + enc + b'd1:ai1e1:ai2eee'
print(enc.hex())
print(dup.hex())
print(len(files), sum(len(f[b'path']) for f in files), len(lists), sum(len(l) for l in lists))
)");
  ASSERT_TRUE(out.has_value());
  auto lines = bt_test::Lines(*out);
  ASSERT_EQ(lines.size(), 3u);
  const Bytes enc = bt_test::Unhex(lines[0]);
  const Bytes dup = bt_test::Unhex(lines[1]);
  std::istringstream counts(lines[2]);
  std::size_t n_files = 0, n_segments = 0, n_lists = 0, n_ints = 0;
  counts >> n_files >> n_segments >> n_lists >> n_ints;

  auto v = bencode_decode(enc);
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(bencode_encode(*v), enc);
  const BVal* files = bdict_get(*bdict_get(*v, "info"), "files");
  ASSERT_NE(files, nullptr);
  ASSERT_NE(files->as_list(), nullptr);
  ASSERT_EQ(files->as_list()->size(), n_files);
  std::size_t segments = 0;
  for (const BVal& f : *files->as_list()) {
    ASSERT_NE(f.as_dict(), nullptr);
    EXPECT_EQ(f.as_dict()->size(), 2u);
    segments += bdict_get(f, "path")->as_list()->size();
  }
  EXPECT_EQ(segments, n_segments);
  const BVal* lists = bdict_get(*v, "lists");
  ASSERT_EQ(lists->as_list()->size(), n_lists);
  std::size_t ints = 0;
  for (const BVal& l : *lists->as_list()) ints += l.as_list()->size();
  EXPECT_EQ(ints, n_ints);

  // Inside a list and beside a dictionary that holds a key twice, in input order.
  auto d = bencode_decode(dup);
  ASSERT_TRUE(d.has_value());
  ASSERT_EQ(d->as_list()->size(), 2u);
  EXPECT_EQ((*d->as_list())[0], *v);
  const BVal::Dict& twice = *(*d->as_list())[1].as_dict();
  ASSERT_EQ(twice.size(), 2u);
  EXPECT_EQ(twice[0].key, "a");
  EXPECT_EQ(*twice[0].value.as_int(), 1);
  EXPECT_EQ(twice[1].key, "a");
  EXPECT_EQ(*twice[1].value.as_int(), 2);
}

}  // namespace
}  // namespace bittorrent

namespace bittorrent {
namespace {

// The family's variants in their declared order, as error lines name them.
TEST(BittorrentErrorFamily, VariantsAndTheirNames) {
  const std::pair<BittorrentError, const char*> variants[] = {
      {BittorrentError::Common, "Common"},   {BittorrentError::Encoding, "Encoding"},
      {BittorrentError::Krpc, "Krpc"},       {BittorrentError::Wire, "Wire"},
      {BittorrentError::Magnet, "Magnet"},   {BittorrentError::Metainfo, "Metainfo"},
      {BittorrentError::Bencode, "Bencode"},
  };
  std::uint8_t code = 0;
  for (const auto& [variant, name] : variants) {
    const Error e(variant, std::string("m"));
    EXPECT_EQ(e.family(), ErrorFamily::Bittorrent);
    EXPECT_EQ(e.code(), code++);
    EXPECT_EQ(to_string(e), std::string("BittorrentError::") + name + ": m");
  }
  const Error wrapped(BittorrentError::Encoding, Error(EncodingError::Truncated, std::string("short")));
  EXPECT_EQ(to_string(wrapped), "BittorrentError::Encoding > EncodingError::Truncated: short");
}

}  // namespace
}  // namespace bittorrent
