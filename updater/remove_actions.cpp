#include "updater/remove_actions.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "updater/backup_draft.h"
#include "updater/file_ops.h"
#include "updater/update_log.h"

namespace {

// The folder that holds `path`: the part before its last '/', or ".".
std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

UpdaterError RemoveAction::Parse(char* arguments) { return ParsePath(&arguments, false); }

UpdaterError RemoveAction::Prepare() {
  // Links are looked at, never through: a link of any kind, dangling too, is removed as
  // the file it is, like the tree walk of "rmrfdir" treats it.
  if (!path_exists(full_path.c_str())) {
    skip = true;
    cost = 0;
    return OK;
  }
  update_log_printf("PREPARE REMOVEFILE %s", relative_path.c_str());
  struct stat st {};
  if (::lstat(full_path.c_str(), &st) != 0) {
    update_log_printf("failed to read file status info: %s, err: %d", full_path.c_str(), errno);
    return READ_ERROR;
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    update_log_printf("path present, but not a file: %s", full_path.c_str());
    return NOT_A_FILE_ERROR;
  }
  if (::access(parent_of(full_path).c_str(), W_OK) != 0) {
    update_log_printf("access failed: %d", errno);
    return FILE_NOT_WRITABLE_ERROR;
  }
  return OK;
}

UpdaterError RemoveAction::Execute() {
  if (skip) return OK;
  update_log_printf("EXECUTE REMOVEFILE %s", relative_path.c_str());
  if (!path_exists(full_path.c_str())) {
    update_log_printf("file cannot be removed because it does not exist; skipping");
    skip = true;
    return OK;
  }
  if (context_.staged) return ensure_remove(full_path.c_str()) == 0 ? OK : REMOVE_ERROR;
  if (UpdaterError e = backup_create(full_path.c_str()); e != OK) {
    update_log_printf("backup_create failed: %d", e);
    return e;
  }
  backup_created = true;
  return OK;
}

void RemoveAction::Finish(UpdaterError status) {
  if (skip) return;
  update_log_printf("FINISH REMOVEFILE %s", relative_path.c_str());
  if (!context_.staged) backup_restore(full_path.c_str(), relative_path.c_str(), status, backup_created);
}

UpdaterError RemoveDirAction::Parse(char* arguments) { return ParsePath(&arguments, true); }

UpdaterError RemoveDirAction::Prepare() {
  if (::access(full_path.c_str(), F_OK) != 0) {
    skip = true;
    cost = 0;
    return OK;
  }
  update_log_printf("PREPARE REMOVEDIR %s/", relative_path.c_str());
  struct stat st {};
  if (::stat(full_path.c_str(), &st) != 0) {
    update_log_printf("failed to read directory status info: %s, err: %d", full_path.c_str(), errno);
    return READ_ERROR;
  }
  if (!S_ISDIR(st.st_mode)) {
    update_log_printf("path present, but not a directory: %s", full_path.c_str());
    return NOT_A_DIRECTORY_ERROR;
  }
  const int rv = ::access(full_path.c_str(), W_OK);
  if (rv != 0) {
    update_log_printf("access failed: %d, %d", rv, errno);
    return DIR_NOT_WRITABLE_ERROR;
  }
  return OK;
}

UpdaterError RemoveDirAction::Execute() {
  if (skip) return OK;
  update_log_printf("EXECUTE REMOVEDIR %s/", relative_path.c_str());
  if (::access(full_path.c_str(), F_OK) != 0) {
    update_log_printf("directory no longer exists; skipping");
    skip = true;
  }
  return OK;
}

void RemoveDirAction::Finish(UpdaterError status) {
  if (status != OK || skip) return;
  update_log_printf("FINISH REMOVEDIR %s/", relative_path.c_str());
  if (::access(full_path.c_str(), F_OK) != 0) {
    update_log_printf("directory no longer exists; skipping");
    return;
  }
  if (::rmdir(full_path.c_str()) != 0) {
    update_log_printf("non-fatal error removing directory: %s/, rv: %d, err: %d", relative_path.c_str(), 0, errno);
  }
}
