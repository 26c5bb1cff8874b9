#include "updater/patch_action.h"

#include <cerrno>
#include <cstring>

#include "updater/backup_draft.h"
#include "updater/file_ops.h"
#include "updater/patch_file.h"
#include "updater/path_buffer.h"
#include "updater/update_log.h"
#include "updater/vpk_extract.h"
#include "updater/vpk_index.h"

PatchAction::~PatchAction() { ClosePatchStream(); }

void PatchAction::ClosePatchStream() {
  if (patch_stream == nullptr) return;
  if (std::fclose(patch_stream) != 0) update_log_printf("File close did not execute successfully");
  patch_stream = nullptr;
}

UpdaterError PatchAction::Parse(char* arguments) {
  if (arguments == nullptr) return PARSE_ERROR;
  char* name = arguments + std::strspn(arguments, "\"");
  char* name_end = std::strchr(name, '"');
  if (name_end == nullptr || name_end == name) return PARSE_ERROR;
  *name_end = '\0';
  char* separator = name_end + 1;
  if (*separator == '\0' || *separator == '"') return PARSE_ERROR;
  char* cursor = std::strchr(separator, '"');
  if (cursor == nullptr) return PARSE_ERROR;
  patch_item = name;
  return ParsePath(&cursor, false);
}

UpdaterError PatchAction::Prepare() {
  update_log_printf("PREPARE PATCH %s", relative_path.c_str());
  patch_index = context_.patch_counter++;
  PathBuffer path{};
  // A cut name would be another file: refuse it instead.
  if (!format_path(path, "%s/updating/%d.patch", context_.working_dir.c_str(), patch_index)) {
    update_log_printf("patch file path too long for: %s", relative_path.c_str());
    return PATH_TOO_LONG_ERROR;
  }
  patch_file_path = path.data();
  if (std::remove(path.data()) != 0 && errno != ENOENT) {
    update_log_printf("failure removing pre-existing patch file: %s, err: %d", path.data(), errno);
    return WRITE_ERROR;
  }
  ClosePatchStream();
  patch_stream = std::fopen(path.data(), "wb+");
  if (patch_stream == nullptr) return WRITE_ERROR;
  VpkArchive* archive = vpk_archive();
  const VpkItem* item = archive == nullptr ? nullptr : vpk_find_item(archive, patch_item.c_str());
  if (item == nullptr) return READ_ERROR;
  if (UpdaterError e = vpk_extract_item(item, patch_stream); e != OK) return e;
  // The patch is read back through the same stream: its last bytes must be on disk.
  if (std::fflush(patch_stream) != 0) {
    update_log_printf("failure writing patch file: %s, err: %d", path.data(), errno);
    return EXTRACT_WRITE_ERROR;
  }
  return OK;
}

UpdaterError PatchAction::LoadSourceFile(bool to_draft) {
  PathBuffer target{};
  if (to_draft && !format_draft_path(target, full_path.c_str())) {
    update_log_printf("draft path too long for: %s", relative_path.c_str());
    return PATH_TOO_LONG_ERROR;
  }
  if (patch_stream == nullptr) return READ_ERROR;
  const UpdaterError result =
      patch_file(patch_stream, full_path.c_str(), to_draft ? target.data() : full_path.c_str(), relative_path.c_str());
  ClosePatchStream();
  patch_file_path.clear();
  return result;
}

UpdaterError PatchAction::Draft() {
  update_log_printf("DRAFT PATCH %s", relative_path.c_str());
  if (context_.staged) return OK;
  if (UpdaterError e = draft_discard(full_path.c_str(), relative_path.c_str()); e != OK) return e;
  return LoadSourceFile(true);
}

UpdaterError PatchAction::Execute() {
  update_log_printf("EXECUTE PATCH %s", relative_path.c_str());
  if (context_.staged) return LoadSourceFile(false);
  if (UpdaterError e = backup_create(full_path.c_str()); e != OK) return e;
  backup_created = true;
  return draft_commit(full_path.c_str());
}

void PatchAction::Finish(UpdaterError status) {
  update_log_printf("FINISH PATCH %s", relative_path.c_str());
  if (context_.staged) return;
  draft_discard(full_path.c_str(), relative_path.c_str());
  backup_restore(full_path.c_str(), relative_path.c_str(), status, backup_created);
}
