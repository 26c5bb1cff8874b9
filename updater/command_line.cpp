#include "updater/command_line.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "updater/path_relations.h"

namespace {

// The format's text with the argument in place of its "%s", however long the argument.
std::string message(const char* format, const char* argument) {
  const int length = std::snprintf(nullptr, 0, format, argument);
  if (length < 0) return format;
  std::string text(static_cast<std::size_t>(length), '\0');
  std::snprintf(text.data(), text.size() + 1, format, argument);
  return text;
}

// Copies `path` and drops one trailing '/'.
void copy_dir(PathBuffer& out, const char* path) {
  format_path(out, "%s", path);
  std::size_t length = std::strlen(out.data());
  if (length > 0 && out[length - 1] == '/') out[length - 1] = '\0';
}

bool is_silencing_argument(const char* arg) {
  return std::strcmp(arg, "-backgroundtask") == 0 || std::strcmp(arg, "--backgroundtask") == 0;
}

// Whether `path` is `dir`, a '/' (which may end `dir` itself) and at least one more byte.
bool lies_below(const char* path, const char* dir) {
  const std::size_t length = std::strlen(dir);
  if (std::strncmp(path, dir, length) != 0) return false;
  const char* rest = path + length;
  if (length == 0 || dir[length - 1] != '/') {
    if (*rest != '/') return false;
    ++rest;
  }
  return *rest != '\0';
}

CommandLine refuse(CommandLine line, UpdaterError status, std::string text) {
  line.status = status;
  line.error = std::move(text);
  return line;
}

}  // namespace

bool is_valid_path_argument(const char* path) {
  const std::size_t length = std::strlen(path);
  if (length == 0 || length >= kPathBufferSize || path[0] != '/') return false;
  if (std::strstr(path, "/../") != nullptr) return false;
  return !(length >= 3 && std::strcmp(path + length - 3, "/..") == 0);
}

CommandLine parse_command_line(int argc, char* const* argv) {
  CommandLine line;
  if (argc < kInvocationArg + 1) return refuse(line, OK, kUsageText);

  if (std::strcmp(argv[kInvocationArg], "first") == 0) {
    line.invocation = UpdaterInvocation::First;
  } else if (std::strcmp(argv[kInvocationArg], "second") == 0) {
    line.invocation = UpdaterInvocation::Second;
  } else {
    return refuse(line, OK, "Error invocation of updater.exe\n");
  }

  const char* patch_dir = argv[kPatchDirArg];
  if (!is_valid_path_argument(patch_dir)) {
    return refuse(line, OK, message("The patch directory path is not valid for this application (%s)\n", patch_dir));
  }
  format_path(line.patch_dir, "%s", patch_dir);

  const char* install_dir = argv[kInstallDirArg];
  // The root as installation would let every path pass as lying inside it.
  if (!is_valid_path_argument(install_dir) || resolved_path(install_dir) == "/") {
    return refuse(line, INVALID_INSTALL_DIR_ERROR,
                  message("The install directory path is not valid for this application (%s)\n", install_dir));
  }
  copy_dir(line.install_dir, install_dir);

  if (argc > kWaitPidArg) {
    const char* wait_pid = argv[kWaitPidArg];
    // Taken as a 32-bit int, so 4294967295 stages as well.
    if (static_cast<std::int32_t>(std::strtol(wait_pid, nullptr, 10)) == -1) {
      line.staged = true;
    } else if (std::strstr(wait_pid, "/replace") != nullptr) {
      line.replace = true;
    }
  }

  const char* working_dir = argv[kWorkingDirArg];
  if (!is_valid_path_argument(working_dir) ||
      (line.staged && !staging_dir_is_safe(line.install_dir.data(), patch_dir, working_dir))) {
    return refuse(line, INVALID_WORKING_DIR_ERROR,
                  message("The working directory path is not valid for this application (%s)\n", working_dir));
  }
  copy_dir(line.working_dir, working_dir);

  if (argc > kCallbackPathArg) {
    const char* callback = argv[kCallbackPathArg];
    if (!is_valid_path_argument(callback)) {
      return refuse(line, INVALID_CALLBACK_PATH_ERROR,
                    message("The callback file path is not valid for this application (%s)\n", callback));
    }
    if (!lies_below(callback, line.install_dir.data())) {
      return refuse(line, CALLBACK_NOT_IN_INSTALL_DIR_ERROR,
                    message("The callback file must be located in the installation directory (%s)\n", callback));
    }
    line.has_callback = true;
    for (int i = kCallbackPathArg + 1; i < argc; ++i) {
      if (is_silencing_argument(argv[i])) line.silent = true;
    }
  }
  return line;
}
