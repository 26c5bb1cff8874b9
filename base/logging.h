#pragma once
// Engine log lines: one LogMessage per logged statement. The message writes its prefix
// "[kestor:SEVERITY:path:line] " when it is made, takes the text streamed into it, and emits
// the whole line when it is destroyed:
//   - into the update log (its writer below), as one line, once both hook slots below are set;
//   - otherwise ERROR and FATAL to standard error, everything else to standard output.
// A FATAL message stops the process right after its line is out.
//
// errno is the same after a log statement as before it, so logging between a failed system
// call and the code that reads its errno changes nothing.
#include <cerrno>
#include <cstddef>
#include <sstream>
#include <string>

namespace logging {

using LogSeverity = int;
inline constexpr LogSeverity LOGGING_INFO = 0;
inline constexpr LogSeverity LOGGING_WARNING = 1;
inline constexpr LogSeverity LOGGING_ERROR = 2;
inline constexpr LogSeverity LOGGING_FATAL = 3;
// Negative severities are verbose levels: -n is named "VERBOSE" followed by n.

// The two hook slots through which the updater takes over engine output. Both are null at
// start; the updater's worker thread fills them once, before any engine work. Emission only
// tests that both are set: the lines then go to the update log, and neither hook is called.
using LogMessageHandlerFunction = bool (*)(int severity, const char* file, int line, std::size_t message_start,
                                           const std::string& str);
using LogPrintHookFunction = void (*)(const char* text);
extern LogMessageHandlerFunction gLogMessageHandler;
extern LogPrintHookFunction gLogPrintHook;

// The update log as this layer sees it: the writer of one finished line, installed by the
// program that keeps the log (the updater, when it fills the hook slots), since the engine
// sits below it and knows no log of its own. While none is installed, lines meant for the
// update log are dropped, as they would be by a log that is not open. Null removes it.
using UpdateLogWriterFunction = void (*)(const char* line);
void SetUpdateLogWriter(UpdateLogWriterFunction writer);

// "INFO", "WARNING", "ERROR", "FATAL", "VERBOSE<n>" for -n, "UNKNOWN" above FATAL.
std::string SeverityName(LogSeverity severity);

class LogMessage {
 public:
  LogMessage(const char* file, int line, LogSeverity severity);
  LogMessage(const LogMessage&) = delete;
  LogMessage& operator=(const LogMessage&) = delete;
  virtual ~LogMessage();

  std::ostream& stream() { return stream_; }
  LogSeverity severity() const { return severity_; }
  // Length of the "[kestor:...] " prefix in bytes.
  std::size_t message_start() const { return message_start_; }
  // The line so far, prefix included.
  std::string str() const { return stream_.str(); }

 private:
  LogSeverity severity_;
  std::ostringstream stream_;
  const char* file_;
  int line_;
  int saved_errno_;
  std::size_t message_start_ = 0;
};

// A message that ends with ": " + the system's text for `err` + " (" + err + ")". `err` is read
// by the caller before the message is made (making it clears errno).
class ErrnoLogMessage : public LogMessage {
 public:
  ErrnoLogMessage(const char* file, int line, LogSeverity severity, int err);
  ~ErrnoLogMessage() override;

 private:
  int err_;
};

// Turns the stream expression of a check into a void expression for the ?: of CHECK.
struct LogMessageVoidify {
  void operator&(std::ostream&) {}
};

}  // namespace logging

#define LOG(severity) ::logging::LogMessage(__FILE__, __LINE__, ::logging::LOGGING_##severity).stream()
// As LOG, with a line number that does not follow edits of the file: for messages that readers
// of update logs know by their place.
#define LOG_AT(severity, line) ::logging::LogMessage(__FILE__, line, ::logging::LOGGING_##severity).stream()
#define PLOG(severity) ::logging::ErrnoLogMessage(__FILE__, __LINE__, ::logging::LOGGING_##severity, errno).stream()
