#include "base/logging.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/check.h"
#include "base/immediate_crash.h"
#include "base/strings.h"

namespace logging {

LogMessageHandlerFunction gLogMessageHandler = nullptr;
LogPrintHookFunction gLogPrintHook = nullptr;

namespace {
UpdateLogWriterFunction g_update_log_writer = nullptr;
}  // namespace

void SetUpdateLogWriter(UpdateLogWriterFunction writer) { g_update_log_writer = writer; }

std::string SeverityName(LogSeverity severity) {
  static const char* const kNames[] = {"INFO", "WARNING", "ERROR", "FATAL"};
  if (severity < 0) return "VERBOSE" + std::to_string(-static_cast<long long>(severity));
  if (severity > LOGGING_FATAL) return "UNKNOWN";
  return kNames[severity];
}

LogMessage::LogMessage(const char* file, int line, LogSeverity severity)
    : severity_(severity), file_(file), line_(line), saved_errno_(errno) {
  errno = 0;
  stream_ << "[kestor:" << SeverityName(severity_) << ':' << file_ << ':' << line_ << "] ";
  message_start_ = static_cast<std::size_t>(stream_.tellp());
  errno = 0;
}

LogMessage::~LogMessage() {
  errno = 0;
  std::string text = stream_.str();
  if (gLogMessageHandler != nullptr && gLogPrintHook != nullptr) {
    if (g_update_log_writer != nullptr) g_update_log_writer(text.c_str());
  } else if (severity_ >= LOGGING_ERROR) {
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  } else {
    text.push_back('\n');
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }
  if (severity_ == LOGGING_FATAL) {
    std::fflush(stdout);
    base::ImmediateCrash();
  }
  errno = saved_errno_;
}

ErrnoLogMessage::ErrnoLogMessage(const char* file, int line, LogSeverity severity, int err)
    : LogMessage(file, line, severity), err_(err) {}

ErrnoLogMessage::~ErrnoLogMessage() {
  char buf[256] = {};
  // The GNU strerror_r may return a static text instead of filling buf.
  const char* text = strerror_r(err_, buf, sizeof(buf) - 1);
  stream() << ": " << (text != nullptr ? text : buf) << base::FormatString(" (%d)", err_);
}

CheckError::CheckError(const base::SourceLocation& location, const char* condition)
    : message_(new LogMessage(location.file_name(), location.line_number(), LOGGING_FATAL)) {
  message_->stream() << "Check failed: " << condition << ". ";
}

CheckError::CheckError(const base::SourceLocation& location, std::unique_ptr<std::string> text)
    : message_(new LogMessage(location.file_name(), location.line_number(), LOGGING_FATAL)) {
  message_->stream() << "Check failed: " << *text;
}

CheckError::~CheckError() {
  delete message_;
  // Emitting a FATAL message already stops the process; this keeps the promise of [[noreturn]]
  // even if the message's own stop were ever bypassed.
  base::ImmediateCrash();
}

namespace internal {

std::string CheckOpValueStr(std::uint32_t v) { return base::FormatString("%u", v); }
std::string CheckOpValueStr(std::uint64_t v) { return base::FormatString("%lu", static_cast<unsigned long>(v)); }
std::string CheckOpValueStr(const char* v) { return v != nullptr ? std::string(v) : std::string(); }

std::unique_ptr<std::string> MakeCheckOpString(const std::string& a, const std::string& b, const char* expr) {
  return std::make_unique<std::string>(std::string(expr) + " (" + a + " vs. " + b + ")");
}

}  // namespace internal
}  // namespace logging
