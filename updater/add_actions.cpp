#include "updater/add_actions.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "updater/archive_item.h"
#include "updater/backup_draft.h"
#include "updater/file_ops.h"
#include "updater/path_buffer.h"
#include "updater/update_log.h"

UpdaterError AddAction::MakeParentFolders() {
  std::vector<std::string> missing;
  for (std::size_t slash = full_path.rfind('/'); slash != std::string::npos && slash > 0;
       slash = full_path.rfind('/', slash - 1)) {
    std::string folder = full_path.substr(0, slash);
    if (path_exists(folder.c_str())) break;
    missing.push_back(std::move(folder));
  }
  const UpdaterError e = ensure_parent_dir(full_path.c_str());
  // Outermost first; whatever of them exists now was made here (on failure too).
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    if (path_exists(it->c_str())) created_folders_.push_back(*it);
  }
  return e;
}

UpdaterError AddAction::Parse(char* arguments) { return ParsePath(&arguments, false); }

UpdaterError AddAction::Prepare() {
  update_log_printf("PREPARE ADD %s", relative_path.c_str());
  return OK;
}

UpdaterError AddAction::Draft() {
  update_log_printf("DRAFT ADD %s", relative_path.c_str());
  if (context_.staged) return OK;
  PathBuffer draft{};
  if (!format_draft_path(draft, full_path.c_str())) {
    update_log_printf("draft path too long for: %s", relative_path.c_str());
    return PATH_TOO_LONG_ERROR;
  }
  if (UpdaterError e = MakeParentFolders(); e != OK) return e;
  if (UpdaterError e = draft_discard(full_path.c_str(), relative_path.c_str()); e != OK) return e;
  return extract_item_to_file(relative_path.c_str(), draft.data());
}

UpdaterError AddAction::Execute() {
  update_log_printf("EXECUTE ADD %s", relative_path.c_str());
  if (!path_exists(full_path.c_str())) {
    if (UpdaterError e = MakeParentFolders(); e != OK) return e;
  } else if (context_.staged) {
    if (ensure_remove(full_path.c_str()) != 0) return REMOVE_ERROR;
  } else {
    if (UpdaterError e = backup_create(full_path.c_str()); e != OK) return e;
    backup_created = true;
  }
  const UpdaterError e = context_.staged ? extract_item_to_file(relative_path.c_str(), full_path.c_str())
                                         : draft_commit(full_path.c_str());
  if (e != OK) return e;
  added = true;
  return OK;
}

void AddAction::Finish(UpdaterError status) {
  update_log_printf("FINISH ADD %s", relative_path.c_str());
  if (context_.staged) return;
  draft_discard(full_path.c_str(), relative_path.c_str());
  if (status != OK && added && std::remove(full_path.c_str()) != 0 && errno != ENOENT) {
    update_log_printf("non-fatal error after update failure removing added file: %s, err: %d", full_path.c_str(),
                      errno);
  }
  backup_restore(full_path.c_str(), relative_path.c_str(), status, backup_created);
  if (status != OK) {
    // Innermost first; a folder that holds anything by now stays.
    for (auto it = created_folders_.rbegin(); it != created_folders_.rend(); ++it) ::rmdir(it->c_str());
  }
}
