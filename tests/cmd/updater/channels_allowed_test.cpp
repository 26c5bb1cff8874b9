// "updater --channels-allowed": the channels accepted by the installation the program
// lives in, read from "update-settings.ini" beside the running program.
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "program_runner.h"
#include "update_tree.h"

namespace program_test {
namespace {

TEST(ChannelsAllowed, ReadBesideTheRunningProgram) {
  const struct {
    const char* what;
    const char* settings;  // beside the program; null: none
    int code;
    const char* out;
  } cases[] = {
      {"list", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release, beta\n", 0, "Channels Allowed: 'release, beta'\n"},
      {"empty list", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=\n", 0, "Channels Allowed: ''\n"},
      {"no file", nullptr, 1, "Error: 38\n"},
      {"key in another section", "[Other]\nACCEPTED_VPK_CHANNEL_IDS=release\n", 1, "Error: 38\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    updater_test::TempDir dir;
    const std::string program = dir / "updater";
    std::error_code ec;
    ASSERT_TRUE(std::filesystem::copy_file(kProgram, program, ec)) << ec.message();
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
    if (c.settings != nullptr) UpdateTree::put(dir / "update-settings.ini", c.settings);
    // Neither the folder it is started from nor the one argv[0] names counts.
    updater_test::TempDir elsewhere;
    UpdateTree::put(elsewhere / "update-settings.ini", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=wrong\n");
    Launch launch;
    launch.program = program;
    launch.argv0 = elsewhere / "updater";
    launch.cwd = elsewhere.path();
    launch.args = {"--channels-allowed"};
    const Result r = run(launch);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(ChannelsAllowed, OnlyAsTheSoleArgument) {
  Launch launch;
  launch.args = {"--channels-allowed", "x"};
  const Result r = run(launch);
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err.rfind("Usage: updater ", 0), 0u) << r.err;
}

}  // namespace
}  // namespace program_test
