// The kestor glue through the updater's Patcher interface and patch_file: statuses and their
// conversions, the glue's log lines with their fixed line numbers, CRC-32 against zlib, the
// empty new image, the log hooks, and one whole update applying a kestor patch from an
// archive. Patches come from the python writer (tests/support/kestor_patch.py).
#include "components/vex_kestor/vex_kestor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "base/logging.h"
#include "tests/components/kestor/elf_test_support.h"
#include "tests/components/vex_kestor/glue_test_support.h"
#include "tests/updater/update_fixture.h"
#include "updater/kestor_patcher.h"
#include "updater/patch_file.h"

namespace {

using glue_test::LogLines;
using kestor_test::Bytes;
using updater_test::log_text;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::write_file;

std::string AsString(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::uint32_t ZlibCrc(const std::uint8_t* data, std::size_t n) {
  return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(n)));
}

// "[kestor:ERROR:<path ending in vex_kestor.cpp>:<line>] <text>"
::testing::AssertionResult IsGlueLine(const std::string& line, int number, const std::string& text) {
  const std::string tail = "vex_kestor.cpp:" + std::to_string(number) + "] " + text;
  if (line.rfind("[kestor:ERROR:", 0) == 0 && line.size() >= tail.size() &&
      line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "'" << line << "' is not '...] " << text << "' at line " << number;
}

// Routes engine lines into the update log for one test and back to the standard streams after.
class Hooks {
 public:
  Hooks() { install_kestor_log_hooks(); }
  ~Hooks() {
    logging::gLogMessageHandler = nullptr;
    logging::gLogPrintHook = nullptr;
  }
};

// One file to patch, its patch, and where the result goes.
struct PatchRun {
  updater_test::TempDir dir;
  std::string old_path = dir / "old";
  std::string new_path = dir / "new";
  std::string patch_path = dir / "patch";

  UpdaterError Run(const Bytes& old_image, const Bytes& patch) {
    EXPECT_TRUE(write_file(old_path, AsString(old_image)));
    EXPECT_TRUE(write_file(patch_path, AsString(patch)));
    ::chmod(old_path.c_str(), 0751);
    std::FILE* stream = std::fopen(patch_path.c_str(), "rb");
    EXPECT_NE(stream, nullptr);
    const UpdaterError result = patch_file(stream, old_path.c_str(), new_path.c_str(), "old");
    std::fclose(stream);
    return result;
  }
};

// A random old image, an edited copy and the NoOp patch between them.
struct EditCase {
  Bytes old_image, new_image, patch;
};

EditCase MakeEditCase(std::size_t size, int seed) {
  EditCase c;
  c.old_image.resize(size);
  std::mt19937 rng(static_cast<unsigned>(seed));
  for (auto& b : c.old_image) b = static_cast<std::uint8_t>(rng());
  kestor_test::TempDir dir;
  kestor_test::WriteFileBytes(dir.path() / "old", c.old_image);
  const std::vector<Bytes> r = kestor_test::RunPython("old = open(r'" + (dir.path() / "old").string() +
                                                          "', 'rb').read()\n"
                                                          "new, patch = kp.make_edit_patch(old, " +
                                                          std::to_string(seed) +
                                                          ", edits=30, element_count=4)\n"
                                                          "out(0, new)\nout(1, patch)\n",
                                                      2);
  if (r.size() == 2) {
    c.new_image = r[0];
    c.patch = r[1];
  }
  return c;
}

TEST(FromKestorStatus, ConvertsEveryStatusAndLogsTheNonZeroOnes) {
  updater_test::TempDir dir;
  ScopedLog log(dir / "update.log");
  const std::pair<int, UpdaterError> table[] = {{0, 0}, {1, 41}, {2, 6},    {3, 7},  {4, 6},   {5, 64},
                                                {6, 4}, {7, 4},  {100, 12}, {8, 41}, {10, 41}, {-1, 41}};
  for (const auto& [status, code] : table) EXPECT_EQ(FromKestorStatus(status), code) << status;
  const std::vector<std::string> lines = LogLines("FromKestorStatus");
  ASSERT_EQ(lines.size(), std::size(table) - 1);
  EXPECT_EQ(lines[0], "FromKestorStatus: encountered kestor error 1, converting to updater error 41");
  EXPECT_EQ(lines[7], "FromKestorStatus: encountered kestor error 100, converting to updater error 12");
  EXPECT_EQ(lines[10], "FromKestorStatus: encountered kestor error -1, converting to updater error 41");
}

TEST(KestorCrc32, AgreesWithZlib) {
  std::vector<std::uint8_t> data(1 << 20);
  std::mt19937 rng(5);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  EXPECT_EQ(KestorCrc32(data.data(), 0), 0u);
  for (std::size_t start : {0u, 1u, 3u, 7u}) {
    for (std::size_t n : {1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1000u, 65537u}) {
      EXPECT_EQ(KestorCrc32(data.data() + start, n), ZlibCrc(data.data() + start, n)) << start << " " << n;
    }
  }
  EXPECT_EQ(KestorCrc32(data.data(), data.size()), ZlibCrc(data.data(), data.size()));
  const std::uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(KestorCrc32(check, 9), 0xCBF43926u);

  KestorPatcher patcher;
  std::uint32_t crc = 1;
  EXPECT_EQ(patcher.ComputeCrc(data.data(), 12345, &crc), OK);
  EXPECT_EQ(crc, ZlibCrc(data.data(), 12345));
}

// A correct patch gives a file of exactly the header's size whose CRC is the header's, with
// the old file's mode, and no conversion line. The patch stays mapped until Close.
TEST(KestorPatcher, AppliesACorrectPatch) {
  const EditCase c = MakeEditCase(200000, 21);
  ASSERT_FALSE(c.patch.empty());
  PatchRun run;
  ScopedLog log(run.dir / "update.log");
  ASSERT_EQ(run.Run(c.old_image, c.patch), OK) << log_text();
  const std::optional<std::string> out = read_file(run.new_path);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, AsString(c.new_image));
  EXPECT_EQ(ZlibCrc(reinterpret_cast<const std::uint8_t*>(out->data()), out->size()),
            ZlibCrc(c.new_image.data(), c.new_image.size()));
  EXPECT_EQ(updater_test::lstat_mode(run.new_path) & 07777, 0751u);
  EXPECT_EQ(log_text(), "");

  // Through the interface step by step: sizes and CRC from the header; mapped until Close.
  std::unique_ptr<Patcher> patcher = create_kestor_patcher();
  std::FILE* stream = std::fopen(run.patch_path.c_str(), "rb");
  ASSERT_EQ(patcher->ReadHeader(stream), OK);
  EXPECT_EQ(patcher->SourceSize(), c.old_image.size());
  EXPECT_EQ(patcher->DestSize(), c.new_image.size());
  EXPECT_EQ(patcher->SourceCrc(), ZlibCrc(c.old_image.data(), c.old_image.size()));
  const auto mapped = [&] { return read_file("/proc/self/maps")->find(run.patch_path) != std::string::npos; };
  EXPECT_TRUE(mapped());
  std::FILE* out_stream = std::fopen((run.dir / "again").c_str(), "wb+");
  ASSERT_EQ(patcher->Apply(c.old_image.data(), c.old_image.size(), out_stream), OK);
  EXPECT_EQ(patcher->Close(), OK);
  EXPECT_FALSE(mapped());
  std::fclose(out_stream);
  std::fclose(stream);
  EXPECT_EQ(read_file(run.dir / "again"), AsString(c.new_image));
}

// The ELF patch of the end-to-end engine test, applied by the updater's patch_file.
TEST(KestorPatcher, AppliesAnElfPatch) {
  kestor_test::TempDir dir;
  for (int bits : {32, 64}) {
    const auto old_path = kestor_test::BuildLdProgram(dir.path(), bits, false);
    const auto new_path = kestor_test::BuildLdProgram(dir.path(), bits, true);
    ASSERT_FALSE(old_path.empty());
    const std::vector<Bytes> r =
        kestor_test::RunPython("out(0, kp.make_elf_patch(r'" + old_path.string() + "', r'" + new_path.string() +
                                   "', '" + (bits == 32 ? "Ex86" : "Ex64") + "'))\n",
                               1);
    ASSERT_EQ(r.size(), 1u);
    PatchRun run;
    ScopedLog log(run.dir / "update.log");
    ASSERT_EQ(run.Run(kestor_test::ReadFileBytes(old_path), r[0]), OK) << log_text();
    EXPECT_EQ(read_file(run.new_path), AsString(kestor_test::ReadFileBytes(new_path)));
  }
}

// Not QBDIFF10 and not a kestor patch either: the reader's own line, the glue's line, the
// conversion of status 4, and READ_ERROR.
TEST(KestorPatcher, RefusesWhatIsNoKestorPatch) {
  PatchRun run;
  ScopedLog log(run.dir / "update.log");
  Hooks hooks;
  Bytes patch(40, 'x');
  EXPECT_EQ(run.Run(Bytes(10, 1), patch), READ_ERROR);
  const std::vector<std::string> lines = LogLines("kestor");
  ASSERT_EQ(lines.size(), 3u) << log_text();
  EXPECT_NE(lines[0].find("patch_reader.cpp:"), std::string::npos);
  EXPECT_NE(lines[0].find("] Patch contains invalid magic."), std::string::npos);
  EXPECT_TRUE(IsGlueLine(lines[1], 218, "Error reading patch header."));
  EXPECT_EQ(lines[2], "FromKestorStatus: encountered kestor error 4, converting to updater error 6");
  EXPECT_FALSE(std::filesystem::exists(run.new_path));
}

// The elements apply but the header names another new CRC: the file is not taken.
TEST(KestorPatcher, RefusesAResultWhoseCrcDiffersFromTheHeader) {
  const EditCase c = MakeEditCase(50000, 22);
  Bytes patch = c.patch;
  patch[20] ^= 1;  // new CRC
  PatchRun run;
  ScopedLog log(run.dir / "update.log");
  Hooks hooks;
  EXPECT_EQ(run.Run(c.old_image, patch), CRC_ERROR);
  const std::vector<std::string> lines = LogLines("kestor");
  ASSERT_EQ(lines.size(), 3u) << log_text();
  EXPECT_TRUE(IsGlueLine(lines[0], 264, "Invalid aNewImage."));
  EXPECT_TRUE(IsGlueLine(lines[1], 305, "Fatal error encountered while applying patch."));
  EXPECT_EQ(lines[2], "FromKestorStatus: encountered kestor error 7, converting to updater error 4");
}

// An element that cannot be applied ("Ex64" over bytes that are no ELF file) fails the patch.
TEST(KestorPatcher, AnElementThatFailsFailsThePatch) {
  const std::vector<Bytes> r = kestor_test::RunPython(
      "old = bytes(range(256)) * 4\n"
      "e = kp.Element(0, len(old), 0, len(old), 'Ex64', equivalences=[(0, 0, len(old))])\n"
      "out(0, old)\nout(1, kp.patch_for(old, old, [e]))\n",
      2);
  ASSERT_EQ(r.size(), 2u);
  PatchRun run;
  ScopedLog log(run.dir / "update.log");
  Hooks hooks;
  EXPECT_EQ(run.Run(r[0], r[1]), CORRUPT_PATCH_ERROR);
  const std::vector<std::string> lines = LogLines("kestor");
  ASSERT_EQ(lines.size(), 3u) << log_text();
  EXPECT_NE(lines[0].find("kestor_apply.cpp:"), std::string::npos);
  EXPECT_NE(lines[0].find("] Failed to create Disassembler"), std::string::npos);
  EXPECT_TRUE(IsGlueLine(lines[1], 305, "Fatal error encountered while applying patch."));
  EXPECT_EQ(lines[2], "FromKestorStatus: encountered kestor error 10, converting to updater error 41");
}

// No element and a new size of 0 is a valid patch: the new file is empty when the header's
// new CRC is that of no bytes (0), and refused otherwise.
TEST(KestorPatcher, AnEmptyNewImage) {
  for (std::uint32_t new_crc : {0u, 1u}) {
    SCOPED_TRACE(new_crc);
    const Bytes old_image(1000, 7);
    const std::vector<Bytes> r = kestor_test::RunPython(
        "old = bytes([7]) * 1000\n"
        "out(0, kp.encode_patch([], len(old), 0, kp.crc32(old), " +
            std::to_string(new_crc) + ")[0])\n",
        1);
    ASSERT_EQ(r.size(), 1u);
    PatchRun run;
    ScopedLog log(run.dir / "update.log");
    Hooks hooks;
    if (new_crc == 0) {
      EXPECT_EQ(run.Run(old_image, r[0]), OK) << log_text();
      EXPECT_EQ(read_file(run.new_path), std::string());
      EXPECT_EQ(log_text(), "");
    } else {
      EXPECT_EQ(run.Run(old_image, r[0]), CRC_ERROR);
      const std::vector<std::string> lines = LogLines("kestor");
      ASSERT_EQ(lines.size(), 3u) << log_text();
      EXPECT_TRUE(IsGlueLine(lines[0], 264, "Invalid aNewImage."));
    }
  }
}

// Streams and files that cannot be used, each with its line and code.
TEST(KestorPatcher, UnusablePatchAndNewFiles) {
  const EditCase c = MakeEditCase(20000, 23);
  updater_test::TempDir dir;
  ScopedLog log(dir / "update.log");
  Hooks hooks;
  ASSERT_TRUE(write_file(dir / "patch", AsString(c.patch)));
  ASSERT_TRUE(write_file(dir / "empty", ""));

  KestorPatcher no_stream;
  EXPECT_EQ(no_stream.ReadHeader(nullptr), READ_ERROR);
  KestorPatcher empty;
  std::FILE* empty_stream = std::fopen((dir / "empty").c_str(), "rb");
  EXPECT_EQ(empty.ReadHeader(empty_stream), READ_ERROR);
  std::fclose(empty_stream);

  KestorPatcher patcher;
  std::FILE* patch = std::fopen((dir / "patch").c_str(), "rb");
  // A second ReadHeader maps the patch afresh.
  ASSERT_EQ(patcher.ReadHeader(patch), OK);
  ASSERT_EQ(patcher.ReadHeader(patch), OK);
  EXPECT_EQ(patcher.Apply(c.old_image.data(), c.old_image.size(), nullptr), WRITE_ERROR);
  ASSERT_TRUE(write_file(dir / "read-only", ""));
  std::FILE* read_only = std::fopen((dir / "read-only").c_str(), "rb");
  EXPECT_EQ(patcher.Apply(c.old_image.data(), c.old_image.size(), read_only), WRITE_ERROR);
  std::fclose(read_only);
  // An old image shorter than the patch's old size is refused, not read past.
  std::FILE* out = std::fopen((dir / "out").c_str(), "wb+");
  EXPECT_EQ(patcher.Apply(c.old_image.data(), c.old_image.size() / 2, out), CORRUPT_PATCH_ERROR);
  std::fclose(out);
  std::fclose(patch);

  const std::vector<std::string> lines = LogLines("kestor");
  ASSERT_EQ(lines.size(), 10u) << log_text();
  EXPECT_TRUE(IsGlueLine(lines[0], 198, "Invalid patch file."));
  EXPECT_EQ(lines[1], "FromKestorStatus: encountered kestor error 2, converting to updater error 6");
  EXPECT_TRUE(IsGlueLine(lines[2], 204, "Error with patch file: Can't map file to memory."));
  EXPECT_EQ(lines[3], "FromKestorStatus: encountered kestor error 2, converting to updater error 6");
  EXPECT_TRUE(IsGlueLine(lines[4], 279, "Invalid new file."));
  EXPECT_EQ(lines[5], "FromKestorStatus: encountered kestor error 3, converting to updater error 7");
  EXPECT_TRUE(IsGlueLine(lines[6], 290, "Error with new file: Can't map file to memory."));
  EXPECT_EQ(lines[7], "FromKestorStatus: encountered kestor error 3, converting to updater error 7");
  EXPECT_TRUE(IsGlueLine(lines[8], 305, "Fatal error encountered while applying patch."));
  EXPECT_EQ(lines[9], "FromKestorStatus: encountered kestor error 10, converting to updater error 41");
}

// Before both hooks are set, engine lines go to the standard streams; afterwards each is one
// update-log line and nothing reaches standard error.
TEST(KestorLogHooks, EngineLinesReachTheUpdateLogOnceInstalled) {
  updater_test::TempDir dir;
  ScopedLog log(dir / "update.log");
  const Bytes patch(40, 'x');
  PatchRun run;

  testing::internal::CaptureStderr();
  EXPECT_EQ(run.Run(Bytes(10, 1), patch), READ_ERROR);
  const std::string before = testing::internal::GetCapturedStderr();
  const auto parsed = kestor_test::ParseLogLines(before);
  ASSERT_EQ(parsed.size(), 2u) << before;
  EXPECT_EQ(parsed[0].message, "Patch contains invalid magic.");
  EXPECT_EQ(parsed[1].message, "Error reading patch header.");
  EXPECT_TRUE(LogLines("[kestor:").empty());

  logging::gLogPrintHook = &PrintToUpdateLog;  // one hook alone changes nothing
  testing::internal::CaptureStderr();
  EXPECT_EQ(run.Run(Bytes(10, 1), patch), READ_ERROR);
  EXPECT_EQ(kestor_test::ParseLogLines(testing::internal::GetCapturedStderr()).size(), 2u);
  EXPECT_TRUE(LogLines("[kestor:").empty());

  {
    Hooks hooks;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_EQ(run.Run(Bytes(10, 1), patch), READ_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const std::vector<std::string> lines = LogLines("[kestor:");
    ASSERT_EQ(lines.size(), 2u) << log_text();
    EXPECT_NE(lines[0].find("] Patch contains invalid magic."), std::string::npos);
    EXPECT_TRUE(IsGlueLine(lines[1], 218, "Error reading patch header."));
    // The message hook forwards through the print hook.
    EXPECT_TRUE(ForwardLogMessageToUpdateLog(2, "f", 1, 0, "forwarded line"));
    EXPECT_EQ(LogLines("forwarded line"), std::vector<std::string>{"forwarded line"});
  }
  EXPECT_FALSE(ForwardLogMessageToUpdateLog(2, "f", 1, 0, "not forwarded"));
  EXPECT_TRUE(LogLines("not forwarded").empty());
}

// A whole update run: the archive carries an "Ex64" patch of the installed program, the
// manifest patches it, and the installation ends with ld's new program. Engine lines go to
// the update log only.
TEST(KestorUpdateRun, PatchesAProgramFromAnArchive) {
  kestor_test::TempDir build;
  const auto old_path = kestor_test::BuildLdProgram(build.path(), 64, false);
  const auto new_path = kestor_test::BuildLdProgram(build.path(), 64, true);
  ASSERT_FALSE(old_path.empty());
  const std::vector<Bytes> r = kestor_test::RunPython(
      "out(0, kp.make_elf_patch(r'" + old_path.string() + "', r'" + new_path.string() + "', 'Ex64'))\n", 1);
  ASSERT_EQ(r.size(), 1u);
  const std::string archive = updater_test::make_archive({{"p0", AsString(r[0]), 0644}});
  ASSERT_FALSE(archive.empty());
  for (bool staged : {false, true}) {
    SCOPED_TRACE(staged ? "staged" : "normal");
    updater_test::UpdateDirs dirs;
    ScopedLog log(dirs.root / "update.log");
    Hooks hooks;
    ASSERT_EQ(::mkdir(dirs.install.c_str(), 0755), 0);
    ASSERT_TRUE(write_file(dirs.install + "/prog", AsString(kestor_test::ReadFileBytes(old_path))));
    ASSERT_EQ(::chmod((dirs.install + "/prog").c_str(), 0755), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(updater_test::run_update(dirs, archive, "type \"partial\"\npatch \"p0\" \"prog\"\n", staged), OK)
        << log_text();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::string& updated = staged ? dirs.work : dirs.install;
    EXPECT_EQ(read_file(updated + "/prog"), AsString(kestor_test::ReadFileBytes(new_path)));
    EXPECT_EQ(updater_test::lstat_mode(updated + "/prog") & 07777, 0755u);
    // The new element's disassembler reads the copied bytes before their references are
    // re-aimed, so some of its abs32 bodies do not translate yet; its warnings are log lines.
    EXPECT_TRUE(LogLines("[kestor:ERROR").empty()) << log_text();
    EXPECT_FALSE(LogLines("untranslatable abs32 references.").empty()) << log_text();
  }
}

}  // namespace
