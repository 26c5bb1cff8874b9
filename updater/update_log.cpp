#include "updater/update_log.h"

#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "updater/file_via_temp.h"

namespace {

constexpr std::size_t kMaxLogPathLength = 4094;
constexpr std::size_t kCopyChunk = 1024;

// Copies the whole temporary log into `out`; false on a read error or a write that
// wrote nothing.
bool copy_log(std::FILE* from, std::FILE* out) {
  char chunk[kCopyChunk];
  while (!std::feof(from)) {
    std::size_t got = std::fread(chunk, 1, sizeof chunk, from);
    if (std::ferror(from)) return false;
    std::size_t done = 0;
    while (done < got) {
      std::size_t wrote = std::fwrite(chunk + done, 1, got - done, out);
      if (wrote == 0) return false;
      done += wrote;
    }
  }
  return true;
}

}  // namespace

UpdateLog& update_log() {
  static UpdateLog& log = []() -> UpdateLog& {
    static UpdateLog instance;
    std::atexit(update_log_at_exit);
    return instance;
  }();
  return log;
}

std::optional<std::array<char, 25>> log_time_field(std::time_t now) {
  std::tm local{};
  if (::localtime_r(&now, &local) == nullptr) return std::nullopt;
  std::array<char, 25> field{};
  if (std::strftime(field.data(), field.size(), "%Y-%m-%d %H:%M:%S%z", &local) == 0) {
    // A year past 9999 does not fit; fall back to the seconds, as a 32-bit number.
    auto seconds = static_cast<std::int32_t>(static_cast<std::uint32_t>(std::mktime(&local)));
    if (std::snprintf(field.data(), field.size(), "%d", seconds) < 0) field[0] = '\0';
  }
  return field;
}

void update_log_printf(const char* format, ...) {
  UpdateLog& log = update_log();
  if (log.file == nullptr) return;
  if (auto field = log_time_field(std::time(nullptr))) {
    std::fputs(field->data(), log.file);
    std::fputs(": ", log.file);
  }
  va_list args;
  va_start(args, format);
  std::vfprintf(log.file, format, args);
  va_end(args);
  std::fputc('\n', log.file);
  std::fflush(log.file);
}

void open_update_log(const char* path) {
  UpdateLog& log = update_log();
  if (log.file != nullptr || path == nullptr) return;
  std::size_t length = std::strlen(path);
  if (length < 1 || length > kMaxLogPathLength) return;
  log.path = {};
  std::memcpy(log.path.data(), path, length);
  log.file = std::tmpfile();
}

void finish_update_log() {
  UpdateLog& log = update_log();
  if (log.file == nullptr) return;
  // The final file first: when it cannot be made the log stays open and positioned at
  // its end, so later lines are still appended and a later finish keeps them all.
  TempFile out = create_file_via_temp(log.path.data());
  if (out.stream == nullptr) return;
  std::fflush(log.file);
  std::rewind(log.file);
  if (copy_log(log.file, out.stream)) {
    commit_file_via_temp(out, log.path.data());
  } else {
    discard_file_via_temp(out);
  }
  std::fclose(log.file);
  log.file = nullptr;
}

void update_log_at_exit() { finish_update_log(); }
