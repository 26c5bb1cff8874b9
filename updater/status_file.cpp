#include "updater/status_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "updater/file_ops.h"
#include "updater/file_via_temp.h"
#include "updater/update_log.h"

namespace {

constexpr std::size_t kStatusPathSize = 4097;

}  // namespace

bool WriteToFile(const char* patch_dir, const char* status) {
  update_log_printf("Writing status to file: %s", status);
  char path[kStatusPathSize];
  int n = std::snprintf(path, sizeof path, "%s/%s", patch_dir, "update.status");
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) {
    update_log_printf("WriteToFile: status path too long");
    return false;
  }
  if (ensure_parent_dir(path) != OK) {
    update_log_printf("WriteToFile failed to ensure parent directory's existence");
    return false;
  }
  TempFile file = create_file_via_temp(path);
  if (file.stream == nullptr) {
    update_log_printf("WriteToFile failed to open status file: %d", errno);
    return false;
  }
  if (std::fwrite(status, std::strlen(status), 1, file.stream) != 1) {
    update_log_printf("WriteToFile failed to write to status file: %d", errno);
    return false;
  }
  switch (commit_file_via_temp(file, path)) {
    case CommitFailure::none: return true;
    case CommitFailure::write: update_log_printf("WriteToFile failed to write to status file: %d", errno); return false;
    case CommitFailure::close: update_log_printf("File close did not execute successfully"); return false;
    case CommitFailure::rename: update_log_printf("WriteToFile failed to replace status file: %d", errno); return false;
  }
  return false;
}
