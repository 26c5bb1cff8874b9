#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "test_util.h"
#include "updater/update_log.h"

using updater_test::list_dir;
using updater_test::lstat_mode;
using updater_test::read_file;
using updater_test::ScopedLog;
using updater_test::TempDir;
using updater_test::write_file;

namespace {

// Sets TZ for one test and puts the old value back.
class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTz() {
    if (old_.empty()) {
      ::unsetenv("TZ");
    } else {
      ::setenv("TZ", old_.c_str(), 1);
    }
    ::tzset();
  }

 private:
  std::string old_;
};

TEST(UpdateLog, LineCarriesLocalTimeWithOffset) {
  struct Case {
    const char* tz;
    const char* offset;
    int offset_seconds;
  };
  const Case cases[] = {
      {"UTC0", "+0000", 0},
      {"XYZ-2", "+0200", 2 * 3600},
      {"XYZ+5:30", "-0530", -(5 * 3600 + 30 * 60)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    ScopedTz tz(c.tz);
    TempDir dir;
    std::time_t before = std::time(nullptr);
    {
      ScopedLog log(dir / "update.log");
      update_log_printf("step %d of %s", 3, "five");
    }
    std::time_t after = std::time(nullptr);
    auto text = read_file(dir / "update.log");
    ASSERT_TRUE(text.has_value());
    std::smatch m;
    const std::regex line(R"(^(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)([+-]\d{4}): step 3 of five\n$)");
    ASSERT_TRUE(std::regex_match(*text, m, line)) << *text;
    EXPECT_EQ(m[7].str(), c.offset);
    std::tm fields{};
    fields.tm_year = std::stoi(m[1]) - 1900;
    fields.tm_mon = std::stoi(m[2]) - 1;
    fields.tm_mday = std::stoi(m[3]);
    fields.tm_hour = std::stoi(m[4]);
    fields.tm_min = std::stoi(m[5]);
    fields.tm_sec = std::stoi(m[6]);
    std::time_t stamped = ::timegm(&fields) - c.offset_seconds;
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
  }
}

TEST(UpdateLog, TimeFieldWithoutLocalTimeOrTooLong) {
  ScopedTz tz("UTC0");
  // No local time for this instant: the line is the text alone.
  EXPECT_FALSE(log_time_field(std::numeric_limits<std::time_t>::max()).has_value());
  // 10000-01-01 needs 25 characters; the field becomes the seconds cut to 32 bits.
  auto field = log_time_field(253402300800);
  ASSERT_TRUE(field.has_value());
  EXPECT_STREQ(field->data(), "-769664");
  field = log_time_field(0);
  ASSERT_TRUE(field.has_value());
  EXPECT_STREQ(field->data(), "1970-01-01 00:00:00+0000");
}

TEST(UpdateLog, FinalLogIsWhatWasWrittenPrivateAndWithoutTemporary) {
  TempDir dir;
  ASSERT_TRUE(write_file(dir / "update.log", "previous run\n"));
  ::chmod((dir / "update.log").c_str(), 0644);
  std::string written;
  {
    ScopedLog log(dir / "update.log");
    // Enough lines to need many copy chunks, one far longer than a chunk.
    for (int i = 0; i < 3000; ++i) update_log_printf("line %d: %s", i, i % 7 == 0 ? "seventh" : "");
    update_log_printf("%s", std::string(5000, 'x').c_str());
    // The previous run's log stays until the very end.
    EXPECT_EQ(read_file(dir / "update.log"), "previous run\n");
    written = updater_test::log_text();
  }
  EXPECT_GT(written.size(), 3000u * 25);
  EXPECT_EQ(read_file(dir / "update.log"), written);
  EXPECT_EQ(lstat_mode(dir / "update.log"), S_IFREG | 0600);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"update.log"});
  EXPECT_EQ(update_log().file, nullptr);
}

TEST(UpdateLog, PathLengthBounds) {
  TempDir dir;
  // Too short or too long: the log stays closed and nothing is created anywhere.
  for (std::size_t length : {std::size_t{0}, std::size_t{4095}, std::size_t{4200}}) {
    SCOPED_TRACE(length);
    std::string path =
        length == 0 ? std::string() : updater_test::path_of_length(dir.path(), length, "/update-elevated.log");
    ASSERT_EQ(path.size(), length);
    open_update_log(path.c_str());
    EXPECT_EQ(update_log().file, nullptr);
    update_log_printf("dropped");
    finish_update_log();
    if (length != 0) {
      EXPECT_NE(::access(path.c_str(), F_OK), 0);
    }
  }
  // The longest path accepted.
  std::string path = updater_test::path_of_length(dir.path(), 4094, "/update-elevated.log");
  ASSERT_EQ(path.size(), 4094u);
  {
    ScopedLog log(path);
    EXPECT_NE(update_log().file, nullptr);
    update_log_printf("kept");
  }
  auto text = read_file(path);
  ASSERT_TRUE(text.has_value());
  EXPECT_TRUE(text->ends_with(": kept\n")) << *text;
}

TEST(UpdateLog, LinesOutsideOpenAndFinishAreDropped) {
  TempDir dir;
  update_log_printf("before open");
  open_update_log((dir / "update.log").c_str());
  // A second open while open keeps the first path.
  open_update_log((dir / "other.log").c_str());
  update_log_printf("inside");
  finish_update_log();
  update_log_printf("after finish");
  finish_update_log();  // a second finish does nothing
  auto text = read_file(dir / "update.log");
  ASSERT_TRUE(text.has_value());
  EXPECT_EQ(text->find("before open"), std::string::npos);
  EXPECT_EQ(text->find("after finish"), std::string::npos);
  EXPECT_NE(text->find(": inside\n"), std::string::npos);
  EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"update.log"});
}

TEST(UpdateLog, FinalFileThatCannotBeCreatedKeepsTheLogOpen) {
  TempDir dir;
  std::string path = dir / "missing/update.log";
  open_update_log(path.c_str());
  update_log_printf("first");
  finish_update_log();
  // The lines are still held; once the folder exists a later finish writes them all.
  ASSERT_NE(update_log().file, nullptr);
  update_log_printf("second");
  ASSERT_EQ(::mkdir((dir / "missing").c_str(), 0700), 0);
  finish_update_log();
  EXPECT_EQ(update_log().file, nullptr);
  auto text = read_file(path);
  ASSERT_TRUE(text.has_value());
  std::size_t first = text->find(": first\n");
  EXPECT_NE(first, std::string::npos);
  EXPECT_NE(text->find(": second\n", first), std::string::npos);
}

}  // namespace
