// Finding items by name: the index rules, and each non-empty item handed out once.
#include "updater/vpk_index.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "tests/updater/vpk_test_util.h"

namespace updater_test {
namespace {

constexpr const char* kCollision = "ERROR: file content collision in vpk_find_item()\n";

// Three items and one empty one, written by the independent writer.
const std::string& three_items() {
  static const std::string bytes = vpk_writer(R"(
v = Vpk(items=[Item('updatev3.manifest', b'manifest bytes', flags=0o600),
               Item('bin/app', b'application', flags=0o755),
               Item('empty', b''),
               Item('lib/x.so', b'library!')])
out('a.vpk', v.build())
)")["a.vpk"];
  return bytes;
}

TEST(VpkIndex, FindsEveryItemWithItsOffsetLengthAndFlags) {
  TempDir dir;
  ArchiveCloser closer;
  const std::string& bytes = three_items();
  ASSERT_FALSE(bytes.empty());
  ASSERT_EQ(open_vpk(dir, bytes), OK);
  struct Want {
    const char* name;
    const char* content;
    std::uint32_t flags;
  };
  for (const Want& w : {Want{"bin/app", "application", 0755}, Want{"updatev3.manifest", "manifest bytes", 0600},
                        Want{"lib/x.so", "library!", 0644}}) {
    VpkItem* item = vpk_find_item(vpk_archive(), w.name);
    ASSERT_NE(item, nullptr) << w.name;
    EXPECT_STREQ(item->name(), w.name);
    EXPECT_EQ(item->flags, w.flags);
    ASSERT_EQ(item->length, std::strlen(w.content));
    EXPECT_EQ(bytes.substr(item->offset, item->length), w.content);
  }
  EXPECT_EQ(vpk_archive()->index_parsed, 1);
}

TEST(VpkIndex, AnAbsentNameGivesNull) {
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_EQ(open_vpk(dir, three_items()), OK);
  StderrCapture err;
  for (const char* name : {"bin/ap", "bin/app2", "BIN/APP", "", "updatev3.manifest/"}) {
    EXPECT_EQ(vpk_find_item(vpk_archive(), name), nullptr) << name;
  }
  EXPECT_EQ(err.text(), "");
}

TEST(VpkIndex, ANonEmptyItemIsHandedOutOnceAnEmptyOneAnyNumberOfTimes) {
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_EQ(open_vpk(dir, three_items()), OK);
  ASSERT_NE(vpk_find_item(vpk_archive(), "bin/app"), nullptr);
  {
    StderrCapture err;
    EXPECT_EQ(vpk_find_item(vpk_archive(), "bin/app"), nullptr);
    EXPECT_EQ(err.text(), kCollision);
  }
  for (int i = 0; i < 3; ++i) {
    VpkItem* empty = vpk_find_item(vpk_archive(), "empty");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->length, 0u);
  }
  // The others are still there; a new open starts the count again.
  EXPECT_NE(vpk_find_item(vpk_archive(), "lib/x.so"), nullptr);
  ASSERT_EQ(open_vpk(dir, three_items()), OK);
  EXPECT_NE(vpk_find_item(vpk_archive(), "bin/app"), nullptr);
}

// Items whose stated ranges share bytes: whichever is found second is refused.
TEST(VpkIndex, OverlappingRangesCollide) {
  struct Case {
    const char* name;
    int first_offset, first_length, second_offset, second_length;
    bool collides;
  };
  const Case cases[] = {
      {"same range", 100, 10, 100, 10, true},
      {"last byte of the first", 100, 10, 109, 5, true},
      {"just after the first", 100, 10, 110, 5, false},
      {"ends on its first byte", 100, 10, 95, 6, true},
      {"ends just before it", 100, 10, 95, 5, false},
      {"inside", 100, 10, 103, 2, true},
      {"around", 100, 10, 50, 100, true},
      {"near the top of the offsets", -16, 16, -1, 1, true},
      {"a range past 4 GiB does not wrap to the start", -16, 32, 5, 1, false},
  };
  std::string body = "for i, (a, al, b, bl) in enumerate([";
  for (const Case& c : cases) {
    body += cat("(", std::to_string(static_cast<unsigned>(c.first_offset)), ",", std::to_string(c.first_length), ",",
                std::to_string(static_cast<unsigned>(c.second_offset)), ",", std::to_string(c.second_length), "),");
  }
  body += R"(]):
    v = Vpk(items=[Item('one', offset=a, length=al), Item('two', offset=b, length=bl)])
    out('case%d' % i, v.build())
)";
  auto archives = vpk_writer(body);
  ASSERT_EQ(archives.size(), std::size(cases));
  TempDir dir;
  ArchiveCloser closer;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    ASSERT_EQ(open_vpk(dir, archives[cat("case", std::to_string(i))]), OK);
    ASSERT_NE(vpk_find_item(vpk_archive(), "one"), nullptr);
    StderrCapture err;
    VpkItem* second = vpk_find_item(vpk_archive(), "two");
    std::string text = err.text();
    EXPECT_EQ(second == nullptr, cases[i].collides);
    EXPECT_EQ(text, cases[i].collides ? kCollision : "");
  }
}

// An index that breaks a rule makes every lookup fail, and each call tries again.
TEST(VpkIndex, InvalidIndexesGiveNullForEveryName) {
  const char* cases[] = {
      "v.index_tail = b'x'",                  // one trailing byte after the last entry
      "v.index_tail = b'\\0' * 13",           // a tail too short for an entry
      "v.index_tail = b'\\0' * 12 + b'abc'",  // a name that runs to the end of the index
      "v.index_size = 1000",                  // the index reaches past the file
      "v.index_size = 0xFFFFFFFF",            // ... by far: no 32-bit wrap-around
      "v.index_offset = 0xFFFFFFFF",          // an offset past the file
      "v.magic = b'VPK2'",                    // not an archive
  };
  std::string body = "for i, change in enumerate([";
  for (const char* c : cases) body += std::string("r\"") + c + "\",";
  body += R"(]):
    v = Vpk(items=[Item('a', b'aaaa'), Item('b', b'bbbb')])
    exec(change)
    out('case%d' % i, v.build())
out('cut', Vpk(items=[Item('a', b'aaaa')]).build()[:-1])
out('short', b'VPK1')
)";
  auto archives = vpk_writer(body);
  ASSERT_EQ(archives.size(), std::size(cases) + 2);
  TempDir dir;
  ArchiveCloser closer;
  for (const auto& [name, bytes] : archives) {
    SCOPED_TRACE(name);
    ASSERT_EQ(open_vpk(dir, bytes), OK);
    EXPECT_EQ(vpk_find_item(vpk_archive(), "a"), nullptr);
    EXPECT_EQ(vpk_find_item(vpk_archive(), "b"), nullptr);
    EXPECT_EQ(vpk_archive()->index_parsed, 0);
  }
}

// The index is an item list without a size limit of its own: many names, some of them
// sharing buckets, are all found, the first entry of a name winning.
TEST(VpkIndex, ManyItemsAreAllFoundAndTheFirstOfTwoEqualNamesWins) {
  auto archives = vpk_writer(R"(
items = [Item('dir%d/file%d' % (i % 7, i), bytes([i % 251]) * 3) for i in range(2000)]
items.append(Item('dir0/file0', b'later duplicate'))
out('a.vpk', Vpk(items=items).build())
)");
  TempDir dir;
  ArchiveCloser closer;
  ASSERT_EQ(open_vpk(dir, archives["a.vpk"]), OK);
  for (int i = 0; i < 2000; ++i) {
    std::string name = cat("dir", std::to_string(i % 7), "/file", std::to_string(i));
    VpkItem* item = vpk_find_item(vpk_archive(), name.c_str());
    ASSERT_NE(item, nullptr) << name;
    ASSERT_EQ(item->length, 3u);
    EXPECT_EQ(vpk_archive()->data[item->offset], static_cast<std::uint8_t>(i % 251));
  }
}

TEST(VpkIndex, NamesSpreadOverTheBuckets) {
  std::set<std::uint64_t> buckets;
  std::set<std::uint64_t> hashes;
  for (int i = 0; i < 4096; ++i) {
    std::string name = cat("dir/file", std::to_string(i));
    std::uint64_t h = hash_item_name(name.data(), name.size());
    hashes.insert(h);
    buckets.insert(h & 0xFF);
  }
  EXPECT_EQ(hashes.size(), 4096u);
  EXPECT_EQ(buckets.size(), 256u);
  // The hash covers the given length only.
  EXPECT_EQ(hash_item_name("abc", 2), hash_item_name("abx", 2));
  EXPECT_NE(hash_item_name("abc", 3), hash_item_name("abx", 3));
}

TEST(VpkIndex, NoArchiveGivesNull) { EXPECT_EQ(vpk_find_item(nullptr, "a"), nullptr); }

}  // namespace
}  // namespace updater_test
