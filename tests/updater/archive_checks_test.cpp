// The checks of an opened archive in their order: signature, accepted channels, product
// information, channel and version, each failing with its own code.
#include "updater/archive_checks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "tests/updater/vpk_test_util.h"
#include "updater/accepted_channels.h"

namespace updater_test {
namespace {

std::string settings(const std::string& list) { return "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=" + list + "\n"; }

class ArchiveChecks : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ensure_nss());
    gAcceptedChannels.reset();
  }
  void TearDown() override { gAcceptedChannels.reset(); }

  // Opens the archive in a patch folder and runs the checks against an installation
  // whose settings file holds `ini` (none when nullopt).
  UpdaterError run(const std::string& archive, const std::optional<std::string>& ini) {
    gAcceptedChannels.reset();
    if (open_vpk(patch_, archive) != OK) return -100;
    const std::string path = install_ / "update-settings.ini";
    ::unlink(path.c_str());
    if (ini && !write_file(path, *ini)) return -101;
    return check_archive(install_.path().c_str());
  }

  TempDir patch_;
  TempDir install_;
  ArchiveCloser closer_;
};

TEST_F(ArchiveChecks, EachCheckFailsWithItsCodeInOrder) {
  struct Case {
    const char* archive;
    std::optional<std::string> ini;
    UpdaterError want;
  };
  const std::string release = settings("release");
  const Case cases[] = {
      {"good", release, OK},
      {"by_key2", release, OK},
      // The signature comes first: nothing else is looked at.
      {"untrusted", std::nullopt, SIGNATURE_ERROR},
      {"two_signatures", release, SIGNATURE_ERROR},
      {"tampered", release, SIGNATURE_ERROR},
      // Missing settings are found before the product information.
      {"good", std::nullopt, SETTINGS_ERROR},
      {"no_section", std::nullopt, SETTINGS_ERROR},
      {"good", std::string("[Strings]\nACCEPTED_VPK_CHANNEL_IDS=release\n"), SETTINGS_ERROR},
      {"good", std::string("[Settings]\nACCEPTED_VPK_CHANNEL_ID=release\n"), SETTINGS_ERROR},
      {"good", std::string(), SETTINGS_ERROR},
      {"no_section", release, PRODUCT_INFO_ERROR},
      {"id2_first", release, PRODUCT_INFO_ERROR},
      {"channel64", release, PRODUCT_INFO_ERROR},
      {"version32", release, PRODUCT_INFO_ERROR},
      {"size7", release, PRODUCT_INFO_ERROR},
      {"good", settings("beta"), CHANNEL_ERROR},
      {"version_153.7.9", release, VERSION_DOWNGRADE_ERROR},
  };
  auto archives = vpk_writer(R"(
items = [Item('updatev3.manifest', xz(b'add "a"\n'))]
def signed(name, *keys, **kw):
    sections = kw.pop('sections', None)
    v = Vpk(items=items, signatures=[Signature(k) for k in keys], sections=sections, **kw)
    out(name, v.build())
signed('good', KEY1)
signed('by_key2', KEY2)
signed('untrusted', UNTRUSTED_KEY)
signed('two_signatures', KEY1, KEY2)
signed('no_section', KEY1, sections=[])
signed('id2_first', KEY1, sections=[Section(2, product_info('release', '153.8.0')),
                                    Section(1, product_info('release', '153.8.0'))])
signed('channel64', KEY1, channel='r' * 64)
signed('version32', KEY1, version='1' * 32)
signed('size7', KEY1, sections=[Section(1, product_info('release', '153.8.0'), size=7)])
signed('version_153.7.9', KEY1, version='153.7.9')
t = bytearray(Vpk(items=items, signatures=[Signature(KEY1)]).build())
t[-3] ^= 0x20
out('tampered', bytes(t))
)");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.archive) + " with settings " + c.ini.value_or("(none)"));
    ASSERT_TRUE(archives.contains(c.archive));
    StderrCapture err;
    EXPECT_EQ(run(archives[c.archive], c.ini), c.want);
  }
}

TEST_F(ArchiveChecks, NoOpenArchiveIsItsOwnError) {
  vpk_close();
  EXPECT_EQ(check_archive(install_.path().c_str()), ARCHIVE_NOT_OPEN_ERROR);
}

// Certificate 1 is tried first: an archive by key 2 passes after its failure is printed.
TEST_F(ArchiveChecks, TheSecondCertificateIsTriedAfterTheFirst) {
  auto archives = vpk_writer("out('a', Vpk(items=[Item('f', b'x')], signatures=[Signature(KEY2)]).build())\n");
  StderrCapture err;
  EXPECT_EQ(run(archives["a"], settings("release")), OK);
  EXPECT_EQ(err.text(), "ERROR: Error verifying signature.\n");
}

TEST_F(ArchiveChecks, ChannelsAreSplitAtSpacesCommasAndTabs) {
  struct Case {
    std::string list;
    const char* channel;
    bool accepted;
  };
  // The last name starts at character 501: only its first ten characters are kept.
  const std::string long_list = std::string(500, 'x') + " release-long";
  const std::string longest(511, 'y');
  const Case cases[] = {
      {"release, beta", "beta", true},
      {"release, beta", "release", true},
      {"release, beta", "Beta", false},
      {"release, beta", "bet", false},
      {"release, beta", "release,", false},
      {"a\tb,,c  d", "c", true},
      {"a\tb,,c  d", "d", true},
      {"", "anything", true},
      {long_list, "release-lo", true},
      {long_list, "release-long", false},
      {long_list, "release-", false},
      {longest, longest.c_str(), true},
      {longest + "z", longest.c_str(), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(channel_accepted(c.list, c.channel), c.accepted) << "'" << c.list << "' / " << c.channel;
  }
}

TEST_F(ArchiveChecks, ChannelAndVersionOfTheArchiveDecide) {
  struct Case {
    const char* channel;
    const char* version;
    UpdaterError want;
  };
  const Case cases[] = {
      {"beta", "153.8.0", OK},
      {"Beta", "153.8.0", CHANNEL_ERROR},
      {"bet", "153.8.0", CHANNEL_ERROR},
      {"release", "153.8.1", OK},
      {"release", "154", OK},
      {"release", "153.7.9", VERSION_DOWNGRADE_ERROR},
      {"release", "153.8", OK},
      {"release", "153.8.0a", VERSION_DOWNGRADE_ERROR},
      {"release", "153.8.0+", OK},
      {"release", "", VERSION_DOWNGRADE_ERROR},
  };
  std::string body = "for ch, ver in [";
  for (const Case& c : cases) body += cat("('", c.channel, "', '", c.version, "'),");
  body +=
      "]:\n    out(ch + '_' + ver, Vpk(items=[Item('f', b'x')], signatures=[Signature(KEY1)], channel=ch, "
      "version=ver).build())\n";
  auto archives = vpk_writer(body);
  ASSERT_EQ(archives.size(), std::size(cases));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.channel) + " " + c.version);
    EXPECT_EQ(run(archives[std::string(c.channel) + "_" + c.version], settings("release, beta")), c.want);
  }
  // An empty list accepts every channel.
  EXPECT_EQ(run(archives["Beta_153.8.0"], settings("")), OK);
}

// The list is read once and kept; an empty one is read again next time.
TEST_F(ArchiveChecks, TheChannelListIsReadOnceAndKept) {
  auto archives =
      vpk_writer("out('a', Vpk(items=[Item('f', b'x')], signatures=[Signature(KEY1)], channel='beta').build())\n");
  ASSERT_EQ(open_vpk(patch_, archives["a"]), OK);
  const std::string path = install_ / "update-settings.ini";
  ASSERT_TRUE(write_file(path, settings("beta")));
  EXPECT_EQ(check_archive(install_.path().c_str()), OK);
  ASSERT_EQ(gAcceptedChannels, std::optional<std::string>("beta"));
  ASSERT_TRUE(write_file(path, settings("release")));
  EXPECT_EQ(check_archive(install_.path().c_str()), OK);  // the cached list still says beta

  gAcceptedChannels = "";
  EXPECT_EQ(check_archive(install_.path().c_str()), CHANNEL_ERROR);  // read again: release
  EXPECT_EQ(gAcceptedChannels, std::optional<std::string>("release"));
}

}  // namespace
}  // namespace updater_test
