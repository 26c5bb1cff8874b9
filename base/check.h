#pragma once
// Checks of internal invariants. A failed check writes one FATAL line at the check's source
// location (path relative to the repository root) and stops the process:
//   CHECK(cond) [<< more]         "Check failed: cond. " + more
//   CHECK_LE(a, b) and friends    "Check failed: a <= b (A vs. B)"
// They guard invariants only: every value that comes from a file is validated before it can
// reach one.
#include <cstdint>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>

#include "base/logging.h"
#include "base/source_location.h"

namespace logging {

// A FATAL message at a check's location; destroying it stops the process.
class CheckError {
 public:
  // "Check failed: " + condition + ". "
  CheckError(const base::SourceLocation& location, const char* condition);
  // "Check failed: " + text (a comparison with its two values).
  CheckError(const base::SourceLocation& location, std::unique_ptr<std::string> text);
  CheckError(const CheckError&) = delete;
  CheckError& operator=(const CheckError&) = delete;
  // Emits the line and stops; the compiler may treat everything after a failed check as dead.
  [[noreturn]] ~CheckError();

  std::ostream& stream() { return message_->stream(); }

 private:
  LogMessage* message_;
};

namespace internal {

// Value texts of a failed comparison: u32 as "%u", u64 as "%lu", anything else through a text
// stream (a byte pointer prints the text it points at, a null one nothing).
std::string CheckOpValueStr(std::uint32_t v);
std::string CheckOpValueStr(std::uint64_t v);
std::string CheckOpValueStr(const char* v);
template <typename T>
std::string CheckOpValueStr(const T& v) {
  if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T> && sizeof(T) == 4) {
    return CheckOpValueStr(static_cast<std::uint32_t>(v));
  } else if constexpr (std::is_integral_v<T> && std::is_unsigned_v<T> && sizeof(T) == 8) {
    return CheckOpValueStr(static_cast<std::uint64_t>(v));
  } else {
    std::ostringstream s;
    s << v;
    return s.str();
  }
}

std::unique_ptr<std::string> MakeCheckOpString(const std::string& a, const std::string& b, const char* expr);

template <typename A, typename B>
std::unique_ptr<std::string> CheckOpString(const A& a, const B& b, const char* expr) {
  return MakeCheckOpString(CheckOpValueStr(a), CheckOpValueStr(b), expr);
}

}  // namespace internal
}  // namespace logging

#define CHECK(condition)             \
  __builtin_expect(!!(condition), 1) \
      ? (void)0                      \
      : ::logging::LogMessageVoidify() & ::logging::CheckError(BASE_HERE, #condition).stream()

// A CHECK whose fatal line names a fixed source line: logs that outlive the code name a few
// checks by the line they were first written at.
#define CHECK_AT(condition, line)                                                                                     \
  __builtin_expect(!!(condition), 1)                                                                                  \
      ? (void)0                                                                                                       \
      : ::logging::LogMessageVoidify() &                                                                              \
            ::logging::CheckError(::base::SourceLocation::Current(__func__, ::base::StripSourceRoot(__FILE__), line), \
                                  #condition)                                                                         \
                .stream()

// The if/else shape keeps a caller's own `else` bound to the caller's `if`.
// Each operand is evaluated once. The comparison stays in the caller, so the optimiser sees that
// the code after a failed check is never reached.
#define KESTOR_CHECK_OP(op, a, b)                                                                                     \
  if (const auto [check_op_a_, check_op_b_] = std::make_tuple((a), (b)); check_op_a_ op check_op_b_) [[likely]] {     \
  } else                                                                                                              \
    ::logging::CheckError(BASE_HERE, ::logging::internal::CheckOpString(check_op_a_, check_op_b_, #a " " #op " " #b)) \
        .stream()

#define CHECK_EQ(a, b) KESTOR_CHECK_OP(==, a, b)
#define CHECK_NE(a, b) KESTOR_CHECK_OP(!=, a, b)
#define CHECK_LE(a, b) KESTOR_CHECK_OP(<=, a, b)
#define CHECK_LT(a, b) KESTOR_CHECK_OP(<, a, b)
#define CHECK_GE(a, b) KESTOR_CHECK_OP(>=, a, b)
#define CHECK_GT(a, b) KESTOR_CHECK_OP(>, a, b)
