#include "base/logging.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "base/check.h"
#include "base/files/scoped_file.h"
#include "updater/update_log.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// The update log is the engine's log writer, as the updater installs it; both hook slots are
// left as they were found (null) whatever the test set.
class HookSlots : public testing::Test {
 protected:
  void SetUp() override {
    logging::SetUpdateLogWriter([](const char* line) { update_log_printf("%s", line); });
  }
  void TearDown() override {
    logging::gLogMessageHandler = nullptr;
    logging::gLogPrintHook = nullptr;
    logging::SetUpdateLogWriter(nullptr);
  }
};

int g_hook_calls = 0;
bool RecordingHandler(int, const char*, int, std::size_t, const std::string&) {
  ++g_hook_calls;
  return true;
}
void RecordingPrint(const char*) { ++g_hook_calls; }

TEST(LogMessage, PrefixNamesTheSeverityFileAndLine) {
  struct Case {
    int severity;
    const char* name;
  };
  const Case cases[] = {{0, "INFO"}, {1, "WARNING"}, {2, "ERROR"}, {5, "UNKNOWN"}, {-2, "VERBOSE2"}, {-1, "VERBOSE1"}};
  for (const Case& c : cases) {
    CaptureStdout();
    CaptureStderr();
    std::string prefix;
    std::size_t start = 0;
    {
      logging::LogMessage message("some/file.cpp", 77, c.severity);
      prefix = message.str();
      start = message.message_start();
      message.stream() << "text";
    }
    GetCapturedStdout();
    GetCapturedStderr();
    EXPECT_EQ(prefix, std::string("[kestor:") + c.name + ":some/file.cpp:77] ") << c.severity;
    EXPECT_EQ(start, prefix.size());
  }
}

TEST_F(HookSlots, WithoutBothHooksErrorsGoToStderrAndTheRestToStdout) {
  struct Case {
    int severity;
    bool to_stderr;
  };
  const Case cases[] = {{-3, false}, {0, false}, {1, false}, {2, true}, {4, true}};
  for (int hooks = 0; hooks < 3; ++hooks) {
    logging::gLogMessageHandler = hooks == 1 ? &RecordingHandler : nullptr;
    logging::gLogPrintHook = hooks == 2 ? &RecordingPrint : nullptr;
    for (const Case& c : cases) {
      CaptureStdout();
      CaptureStderr();
      logging::LogMessage("f.cpp", 3, c.severity).stream() << "routed " << c.severity;
      const std::string out = GetCapturedStdout();
      const std::string err = GetCapturedStderr();
      const std::string line =
          "[kestor:" + logging::SeverityName(c.severity) + ":f.cpp:3] routed " + std::to_string(c.severity) + "\n";
      EXPECT_EQ(c.to_stderr ? err : out, line) << "hooks " << hooks << " severity " << c.severity;
      EXPECT_EQ(c.to_stderr ? out : err, "") << "hooks " << hooks << " severity " << c.severity;
    }
  }
  EXPECT_EQ(g_hook_calls, 0);
}

TEST_F(HookSlots, WithBothHooksEachLineBecomesOneUpdateLogLineAndNothingElse) {
  char tmpl[] = "/tmp/kestor_log_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const std::filesystem::path dir = tmpl;
  const std::string log_path = (dir / "update.log").string();
  open_update_log(log_path.c_str());

  logging::gLogMessageHandler = &RecordingHandler;
  logging::gLogPrintHook = &RecordingPrint;
  CaptureStdout();
  CaptureStderr();
  LOG(ERROR) << "first " << 1;
  LOG(WARNING) << "second";
  const std::string out = GetCapturedStdout();
  const std::string err = GetCapturedStderr();
  finish_update_log();

  std::ifstream f(log_path);
  const std::string log((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::filesystem::remove_all(dir);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
  EXPECT_EQ(g_hook_calls, 0);
  const std::string first = std::string("[kestor:ERROR:") + __FILE__ + ":";
  const std::size_t a = log.find(first);
  ASSERT_NE(a, std::string::npos) << log;
  EXPECT_NE(log.find("] first 1\n", a), std::string::npos) << log;
  EXPECT_NE(log.find(std::string("[kestor:WARNING:") + __FILE__), std::string::npos) << log;
  int lines = 0;
  for (char ch : log) lines += ch == '\n';
  EXPECT_EQ(lines, 2) << log;
}

TEST_F(HookSlots, WithBothHooksAndNoUpdateLogWriterLinesAreDropped) {
  logging::SetUpdateLogWriter(nullptr);
  logging::gLogMessageHandler = &RecordingHandler;
  logging::gLogPrintHook = &RecordingPrint;
  const int calls_before = g_hook_calls;
  CaptureStdout();
  CaptureStderr();
  LOG(ERROR) << "nowhere";
  LOG(INFO) << "nowhere either";
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_EQ(g_hook_calls, calls_before);
}

TEST(LogMessage, KeepsErrnoAndClearsItWhileTheTextIsMade) {
  CaptureStdout();
  errno = EAGAIN;
  LOG(INFO) << "errno while logging: " << errno;
  const int after = errno;
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(after, EAGAIN);
  EXPECT_NE(out.find("] errno while logging: 0\n"), std::string::npos) << out;
}

TEST(ErrnoLogMessage, AppendsTheSystemTextAndNumber) {
  CaptureStderr();
  errno = 0;
  logging::ErrnoLogMessage("g.cpp", 9, logging::LOGGING_ERROR, ENOENT).stream() << "opening";
  EXPECT_EQ(GetCapturedStderr(), "[kestor:ERROR:g.cpp:9] opening: No such file or directory (2)\n");
}

// Death tests run the statement in a child; the stop is a trap, which the sanitizers leave to
// the kernel, so the child dies by signal after writing its line.
class CheckDeath : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CheckDeath, CheckWritesItsConditionAndExtraTextAtTheSiteThenStops) {
  volatile int two = 2;
  EXPECT_DEATH(CHECK(two + 1 == 4) << "extra " << 5,
               "\\[kestor:FATAL:tests/base/logging_test.cpp:[0-9]+\\] Check failed: two \\+ 1 == 4\\. extra 5\n");
}

TEST_F(CheckDeath, ComparisonChecksPrintBothValues) {
  volatile std::uint32_t small = 3;
  volatile std::uint64_t big = 1ULL << 40;
  volatile int negative = -4;
  const char* text = "abc";
  const char* null_text = nullptr;
  EXPECT_DEATH(CHECK_LE(std::uint32_t{small} + 2, std::uint32_t{small}),
               "Check failed: std::uint32_t\\{small\\} \\+ 2 <= std::uint32_t\\{small\\} \\(5 vs\\. 3\\)\n");
  EXPECT_DEATH(CHECK_LT(std::uint64_t{big}, std::uint64_t{1}),
               "\\[kestor:FATAL:tests/base/logging_test.cpp:[0-9]+\\] Check failed: std::uint64_t\\{big\\} < "
               "std::uint64_t\\{1\\} \\(1099511627776 vs\\. 1\\)\n");
  EXPECT_DEATH(CHECK_EQ(int{negative}, 7), "Check failed: int\\{negative\\} == 7 \\(-4 vs\\. 7\\)\n");
  EXPECT_DEATH(CHECK_EQ(text, null_text), "Check failed: text == null_text \\(abc vs\\. \\)\n");
}

TEST_F(CheckDeath, PassingChecksDoNothing) {
  CHECK(1 + 1 == 2) << "never streamed";
  CHECK_LE(1u, 2u);
  CHECK_EQ(std::uint64_t{5}, std::uint64_t{5});
  if (false)
    CHECK_GT(1, 2);
  else
    SUCCEED();
}

TEST_F(CheckDeath, ClosingADescriptorThatIsNotOpenStops) {
  // A descriptor number far above anything this process has open.
  EXPECT_DEATH({ base::ScopedFD fd(987654); },
               "\\[kestor:FATAL:base/files/scoped_file.cpp:[0-9]+\\] Check failed: 0 == ret\\. : Bad file "
               "descriptor \\(9\\)\n");
}

}  // namespace
