// Reading the product-information block: the first additional section, bounded by the
// archive, with its channel and version limits.
#include "updater/vpk_product_info.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/updater/vpk_test_util.h"

namespace updater_test {
namespace {

TEST(VpkProductInfo, ReadsChannelAndVersionAtTheirLimits) {
  struct Case {
    const char* name;
    std::string channel, version;
  };
  const Case cases[] = {
      {"plain", "release", "153.8.0"},
      {"longest", std::string(63, 'c'), std::string(31, 'v')},
      {"empty_texts", "", ""},
  };
  auto archives = vpk_writer(R"(
items = [Item('updatev3.manifest', b'm')]
sig = [Signature(KEY1)]
out('plain', Vpk(items=items, signatures=sig).build())
out('longest', Vpk(items=items, signatures=sig, channel='c' * 63, version='v' * 31).build())
out('empty_texts', Vpk(items=items, signatures=sig, channel='', version='').build())
)");
  ASSERT_EQ(archives.size(), std::size(cases));
  TempDir dir;
  ArchiveCloser closer;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(open_vpk(dir, archives[c.name]), OK);
    VpkProductInfo info{};
    ASSERT_EQ(vpk_read_product_info(vpk_archive(), &info), 0);
    EXPECT_EQ(std::string(info.channel), c.channel);
    EXPECT_EQ(std::string(info.version), c.version);
  }
}

// A section of exactly 8 bytes has an empty payload, which reads as two empty texts; a
// second section is never looked at, and bytes after the payload do not matter.
TEST(VpkProductInfo, OnlyTheFirstSectionCounts) {
  auto archives = vpk_writer(R"(
items = [Item('f', b'x')]
out('two', Vpk(items=items, sections=[Section(1, product_info('beta', '154')), Section(2, b'other')]).build())
out('no_payload', Vpk(items=items, sections=[Section(1, b'')]).build())
out('unterminated_version', Vpk(items=items, sections=[Section(1, b'beta\0' + b'9' * 20)]).build())
)");
  TempDir dir;
  ArchiveCloser closer;
  VpkProductInfo info{};
  ASSERT_EQ(open_vpk(dir, archives["two"]), OK);
  ASSERT_EQ(vpk_read_product_info(vpk_archive(), &info), 0);
  EXPECT_STREQ(info.channel, "beta");
  EXPECT_STREQ(info.version, "154");
  ASSERT_EQ(open_vpk(dir, archives["no_payload"]), OK);
  ASSERT_EQ(vpk_read_product_info(vpk_archive(), &info), 0);
  EXPECT_STREQ(info.channel, "");
  EXPECT_STREQ(info.version, "");
  ASSERT_EQ(open_vpk(dir, archives["unterminated_version"]), OK);
  ASSERT_EQ(vpk_read_product_info(vpk_archive(), &info), 0);
  EXPECT_STREQ(info.version, std::string(20, '9').c_str());
}

TEST(VpkProductInfo, MalformedBlocksFail) {
  const char* cases[] = {
      "no_section",  "id2_first",    "channel64",    "version32",   "size7",
      "size0",       "payload97",    "count0",       "cut_payload", "cut_header",
      "signatures9", "index_at_end", "sig_past_end", "too_short",   "empty_index_last",
  };
  auto archives = vpk_writer(R"(
items = [Item('f', b'content')]
def v(**kw):
    a = Vpk(items=items, signatures=[Signature(KEY1)])
    for k, val in kw.items():
        setattr(a, k, val)
    return a
out('no_section', v(sections=[]).build())
out('id2_first', v(sections=[Section(2, product_info('release', '153.8.0')),
                             Section(1, product_info('release', '153.8.0'))]).build())
out('channel64', v(sections=[Section(1, product_info('c' * 64, '153.8.0'))]).build())
out('version32', v(sections=[Section(1, product_info('release', '1' * 32))]).build())
out('size7', v(sections=[Section(1, product_info('release', '1'), size=7)]).build())
out('size0', v(sections=[Section(1, product_info('release', '1'), size=0)]).build())
out('payload97', v(sections=[Section(1, product_info('a', 'b') + bytes(93))]).build())
out('count0', v(section_count=0).build())
# The stated payload runs past the end of the file (the index and one item follow it).
out('cut_payload', v(sections=[Section(1, b'', size=8 + 96)], index_first=True).build())
# The file ends inside the section header; the index offset points at readable bytes.
out('cut_header', v(index_offset=20).build()[:20 + 8 + 512 + 10])
out('signatures9', v(signature_count=9).build())
# The index offset leaves no room for the first entry's content offset.
good = v().build()
out('index_at_end', v(index_offset=len(good) - 4).build())
out('sig_past_end', v(signatures=[Signature(raw=bytes(16), length=4000)]).build())
out('too_short', b'VPK1\0\0\0')
out('empty_index_last', v(items=[]).build())
)");
  ASSERT_EQ(archives.size(), std::size(cases));
  TempDir dir;
  ArchiveCloser closer;
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    ASSERT_EQ(open_vpk(dir, archives[c]), OK);
    VpkProductInfo info{};
    EXPECT_EQ(vpk_read_product_info(vpk_archive(), &info), -1);
  }
  EXPECT_EQ(vpk_read_product_info(nullptr, nullptr), -1);
}

}  // namespace
}  // namespace updater_test
