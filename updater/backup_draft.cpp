#include "updater/backup_draft.h"

#include "updater/file_ops.h"
#include "updater/update_log.h"

namespace {

bool format_backup_path(PathBuffer& buffer, const char* path) { return format_path(buffer, "%s.vex-backup", path); }

}  // namespace

UpdaterError backup_create(const char* full_path) {
  PathBuffer backup{};
  if (!format_backup_path(backup, full_path)) {
    update_log_printf("backup_create: backup path too long for: %s", full_path);
    return PATH_TOO_LONG_ERROR;
  }
  return rename_file(full_path, backup.data(), false);
}

void backup_restore(const char* full_path, const char* relative_path, UpdaterError restore, bool created) {
  PathBuffer backup{};
  PathBuffer relative_backup{};
  format_backup_path(relative_backup, relative_path);  // log text only: may be cut
  if (!format_backup_path(backup, full_path)) {
    // backup_create refused this name, so there is no backup of this action to act on.
    update_log_printf("backup_restore: backup path too long for: %s", relative_path);
    return;
  }
  if (restore != OK) {
    if (!path_exists(backup.data())) {
      update_log_printf("backup_restore: backup file doesn't exist: %s", relative_backup.data());
      return;
    }
    if (created) {
      rename_file(backup.data(), full_path, false);
    } else {
      update_log_printf("backup_restore: not restoring a backup that this action did not create: %s",
                        relative_backup.data());
    }
    return;
  }
  if (path_exists(backup.data()) && ensure_remove(backup.data()) != 0) {
    update_log_printf("backup_discard: unable to remove: %s", relative_backup.data());
  }
}

bool format_draft_path(PathBuffer& buffer, const char* path) { return format_path(buffer, "%s.vex-draft", path); }

UpdaterError draft_discard(const char* full_path, const char* relative_path) {
  PathBuffer draft{};
  PathBuffer relative_draft{};
  if (!format_draft_path(draft, full_path) || !format_draft_path(relative_draft, relative_path)) {
    update_log_printf("draft_discard: draft path too long for: %s", relative_path);
    return PATH_TOO_LONG_ERROR;
  }
  if (!path_exists(draft.data())) return OK;
  update_log_printf("draft_discard: discarding draft file: %s", relative_draft.data());
  if (ensure_remove(draft.data()) != 0) {
    update_log_printf("draft_discard: unable to remove: %s", relative_draft.data());
    return REMOVE_ERROR;
  }
  return OK;
}

UpdaterError draft_commit(const char* full_path) {
  PathBuffer draft{};
  if (!format_draft_path(draft, full_path)) {
    update_log_printf("draft_commit: draft path too long");
    return PATH_TOO_LONG_ERROR;
  }
  return rename_file(draft.data(), full_path, false);
}
