#include "updater/update_thread.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "updater/action_loop.h"
#include "updater/archive_checks.h"
#include "updater/archive_item.h"
#include "updater/copy_tree.h"
#include "updater/driver_state.h"
#include "updater/file_ops.h"
#include "updater/kestor_patcher.h"
#include "updater/manifest.h"
#include "updater/manifest_contents.h"
#include "updater/path_buffer.h"
#include "updater/remove_tree.h"
#include "updater/status_file.h"
#include "updater/update_log.h"
#include "updater/vpk_archive.h"

namespace {

constexpr const char* kManifestItem = "updatev3.manifest";

// Puts "<backup>/updates/last-update.log" of the old installation in place of the new
// one's, so the log of the staged run survives the swap.
void carry_last_update_log(const char* backup_dir) {
  PathBuffer old_log{};
  PathBuffer new_log{};
  if (!format_path(old_log, "%s/updates/last-update.log", backup_dir) ||
      !format_path(new_log, "%s/updates/last-update.log", gInstallDir.data()) || !path_exists(old_log.data())) {
    return;
  }
  if (::unlink(new_log.data()) != 0 && errno != ENOENT) {
    update_log_printf("non-fatal error removing log file: %s, err: %d", new_log.data(), errno);
  }
  std::rename(old_log.data(), new_log.data());
}

UpdaterError ReplaceInstallation() {
  PathBuffer backup_dir{};
  PathBuffer new_dir{};
  // A cut name would be some other folder, which is removed below.
  if (!format_path(backup_dir, "%s.bak", gInstallDir.data()) ||
      !format_path(new_dir, "%s.bak/updated", gInstallDir.data())) {
    update_log_printf("Path too long for tmpDir of destDir (%s)", gInstallDir.data());
    return PATH_TOO_LONG_ERROR;
  }
  ensure_remove_recursive(backup_dir.data(), false);

  update_log_printf("Begin moving destDir (%s) to tmpDir (%s)", gInstallDir.data(), backup_dir.data());
  if (UpdaterError e = rename_file(gInstallDir.data(), backup_dir.data(), true); e != OK) {
    update_log_printf("Moving destDir to tmpDir failed, err: %d", e);
    return e;
  }
  update_log_printf("Begin moving newDir (%s) to destDir (%s)", new_dir.data(), gInstallDir.data());
  if (UpdaterError e = rename_file(new_dir.data(), gInstallDir.data(), true); e != OK) {
    update_log_printf("Moving newDir to destDir failed, err: %d", e);
    update_log_printf("Now, try to move tmpDir back to destDir");
    ensure_remove_recursive(gInstallDir.data(), false);
    if (UpdaterError back = rename_file(backup_dir.data(), gInstallDir.data(), true); back != OK) {
      update_log_printf("Moving tmpDir back to destDir failed, err: %d", back);
    }
    return e;
  }

  carry_last_update_log(backup_dir.data());
  update_log_printf("Now, remove the tmpDir");
  if (int rv = ensure_remove_recursive(backup_dir.data(), true); rv != 0) {
    update_log_printf("Removing tmpDir failed, err: %d", rv);
  }
  gUpdateSucceeded = true;
  return OK;
}

// Extracts, parses and runs the manifest. The archive is open and checked.
UpdaterError ApplyManifest() {
  PathBuffer manifest_path{};
  if (!format_path(manifest_path, "%s/updating/update.manifest", gWorkingDir.data())) {
    update_log_printf("DoUpdate: error extracting manifest file");
    return PATH_TOO_LONG_ERROR;
  }
  ensure_parent_dir(manifest_path.data());
  if (UpdaterError e = extract_item_to_file(kManifestItem, manifest_path.data()); e != OK) {
    update_log_printf("DoUpdate: error extracting manifest file");
    return e;
  }
  MallocText text = GetManifestContents(manifest_path.data());
  if (!text) {
    update_log_printf("DoUpdate: error opening manifest file: %s", manifest_path.data());
    return READ_ERROR;
  }
  // From here on the patch engine's messages belong in the update log.
  install_kestor_log_hooks();
  ActionContext context{gStagedUpdate ? gWorkingDir.data() : gInstallDir.data(), gWorkingDir.data(), gStagedUpdate, 0};
  ActionList list;
  UpdaterError result = parse_manifest(text.get(), context, &list);
  if (result == OK) result = RunActions(list);
  return result;
}

UpdaterError DoUpdate() {
  UpdaterError result = vpk_open(gPatchDir.data());
  if (result == OK) result = check_archive(gInstallDir.data());
  if (result != OK) return result;

  if (gStagedUpdate) {
    PathBuffer skip_updated{};
    PathBuffer skip_updates{};
    format_path(skip_updated, "%s/%s", gInstallDir.data(), "updated");
    format_path(skip_updates, "%s/%s", gInstallDir.data(), "updates/0");
    result = ensure_copy(gInstallDir.data(), gWorkingDir.data(), skip_updated.data(), skip_updates.data());
    if (result != OK) return result;
  }

  result = ApplyManifest();
  vpk_close();
  PathBuffer updating{};
  if (format_path(updating, "%s/updating", gWorkingDir.data())) ensure_remove_recursive(updating.data(), false);
  return result;
}

}  // namespace

void ReportUpdateResult(UpdaterError result) {
  char failed[32];
  std::snprintf(failed, sizeof failed, "failed: %d\n", result);
  if (result != OK && (gReplaceRequest || gStagedUpdate)) {
    if (gStagedUpdate) ensure_remove_recursive(gWorkingDir.data(), false);
    WriteToFile(gPatchDir.data(), gReplaceRequest ? "pending" : failed);
    update_log_printf("failed: %d", result);
  } else if (result != OK) {
    update_log_printf("failed: %d", result);
    WriteToFile(gPatchDir.data(), failed);
  } else {
    update_log_printf("succeeded");
    WriteToFile(gPatchDir.data(), gStagedUpdate ? "applied\n" : "succeeded\n");
  }
}

void UpdateThreadMain() {
  ReportUpdateResult(gReplaceRequest ? ReplaceInstallation() : DoUpdate());
  update_log_printf("calling QuitProgressUI");
  QuitProgressUI();
}
