#include "updater/manifest.h"

#include <fts.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "updater/add_actions.h"
#include "updater/manifest_contents.h"
#include "updater/patch_action.h"
#include "updater/remove_actions.h"
#include "updater/update_log.h"

namespace {

// Calls `line_fn` with every non-empty line of `text`, each ended by NUL in place; stops
// at the first failure.
template <typename LineFn>
UpdaterError for_each_line(char* text, LineFn line_fn) {
  char* p = text;
  while (*p != '\0') {
    const std::size_t n = std::strcspn(p, "\r\n");
    char* end = p + n;
    const bool more = *end != '\0';
    *end = '\0';
    if (n > 0) {
      if (UpdaterError e = line_fn(p); e != OK) return e;
    }
    p = more ? end + 1 : end;
  }
  return OK;
}

struct Line {
  char* keyword;
  char* arguments;  // null when the keyword ends the line
};

// Splits a line that is not a comment into keyword and arguments; false for blanks only.
bool split_line(char* line, Line* out) {
  char* keyword = line + std::strspn(line, " \t");
  if (*keyword == '\0') return false;
  char* end = keyword + std::strcspn(keyword, " \t");
  out->keyword = keyword;
  out->arguments = nullptr;
  if (*end != '\0') {
    *end = '\0';
    out->arguments = end + 1;
  }
  return true;
}

std::unique_ptr<Action> manifest_action(std::string_view keyword, ActionContext& context) {
  if (keyword == "remove") return std::make_unique<RemoveAction>(context);
  if (keyword == "rmdir") return std::make_unique<RemoveDirAction>(context);
  if (keyword == "add") return std::make_unique<AddAction>(context);
  if (keyword == "add-if") return std::make_unique<AddIfAction>(context);
  if (keyword == "add-if-not") return std::make_unique<AddIfNotAction>(context);
  if (keyword == "patch") return std::make_unique<PatchAction>(context);
  if (keyword == "patch-if") return std::make_unique<PatchIfAction>(context);
  return nullptr;
}

std::unique_ptr<Action> precomplete_action(std::string_view keyword, ActionContext& context) {
  if (keyword == "remove" || keyword == "remove-cc") return std::make_unique<RemoveAction>(context);
  if (keyword == "rmdir") return std::make_unique<RemoveDirAction>(context);
  return nullptr;
}

UpdaterError parse_and_append(std::unique_ptr<Action> action, char* arguments, ActionList* list) {
  if (UpdaterError e = action->Parse(arguments); e != OK) return e;
  list->append(std::move(action));
  return OK;
}

// The value of a `type` line: leading quotes skipped, up to the next quote. A line
// without a value gives an empty one, which is not "complete".
std::string_view type_value(char* arguments) {
  if (arguments == nullptr) return {};
  char* value = arguments + std::strspn(arguments, "\"");
  return std::string_view(value, std::strcspn(value, "\""));
}

struct FtsCloser {
  void operator()(FTS* fts) const { ::fts_close(fts); }
};

// The removal of one walked entry, with its path relative to the base folder.
UpdaterError add_removal(std::unique_ptr<Action> action, const char* entry_path, ActionContext& context, bool is_dir,
                         ActionList* list) {
  const std::size_t base_length = context.base_dir.size();
  const char* relative = entry_path;
  if (std::strlen(entry_path) > base_length) relative = entry_path + base_length + 1;
  // The action parses the path like a manifest path: quoted, and a folder with its '/'.
  std::string text;
  try {
    text = std::string("\"") + relative + (is_dir ? "/\"" : "\"");
  } catch (const std::bad_alloc&) {
    return DIR_WALK_MEMORY_ERROR;
  }
  return parse_and_append(std::move(action), text.data(), list);
}

}  // namespace

UpdaterError add_dir_entries(const char* arguments, ActionContext& context, ActionList* list) {
  if (arguments == nullptr || *arguments == '\0') return PARSE_ERROR;
  const char* start = arguments + std::strspn(arguments, "\"");
  const std::string_view dir(start, std::strcspn(start, "\""));
  if (dir.empty() || dir.back() != '/') return PARSE_ERROR;

  std::string root = context.base_dir + "/" + std::string(dir);
  root.pop_back();
  char* roots[] = {root.data(), nullptr};
  std::unique_ptr<FTS, FtsCloser> fts(::fts_open(roots, FTS_PHYSICAL | FTS_NOCHDIR | FTS_NOSTAT | FTS_XDEV, nullptr));
  if (!fts) return DIR_WALK_ERROR;

  // fts_read ends the walk with null and errno 0; null with an error is a failed walk.
  errno = 0;
  while (FTSENT* entry = ::fts_read(fts.get())) {
    UpdaterError e = OK;
    switch (entry->fts_info) {
      case FTS_DC:
        update_log_printf("add_dir_entries: fts_read() returned FT_DC: %s", entry->fts_path);
        return DIR_WALK_ERROR;
      case FTS_F:
      case FTS_NSOK:
        e = add_removal(std::make_unique<RemoveAction>(context), entry->fts_path, context, false, list);
        break;
      case FTS_SL:
      case FTS_SLNONE:
      case FTS_DEFAULT:
        update_log_printf("add_dir_entries: found a non-standard file: %s", entry->fts_path);
        e = add_removal(std::make_unique<RemoveAction>(context), entry->fts_path, context, false, list);
        break;
      case FTS_DP:
        e = add_removal(std::make_unique<RemoveDirAction>(context), entry->fts_path, context, true, list);
        break;
      case FTS_DNR:
      case FTS_NS:
        if (entry->fts_errno == ENOENT) break;
        [[fallthrough]];
      case FTS_ERR:
        update_log_printf("add_dir_entries: fts_read() error: %s, err: %d", entry->fts_path, entry->fts_errno);
        return DIR_WALK_ERROR;
      default:  // a folder on the way down, dot entries, whiteouts
        break;
    }
    if (e != OK) return e;
    errno = 0;
  }
  if (errno != 0) {
    update_log_printf("add_dir_entries: fts_read() error: %s, err: %d", root.c_str(), errno);
    return DIR_WALK_ERROR;
  }
  return OK;
}

UpdaterError AddPreCompleteActions(ActionContext& context, ActionList* list) {
  const std::string path = context.base_dir + "/precomplete";
  MallocText text = GetManifestContents(path.c_str());
  if (!text) {
    update_log_printf("AddPreCompleteActions: error getting contents of precomplete manifest");
    return OK;
  }
  return for_each_line(text.get(), [&](char* line) -> UpdaterError {
    if (line[0] == '#') return OK;
    Line l;
    if (!split_line(line, &l)) {
      update_log_printf("AddPreCompleteActions: token not found in manifest");
      return PARSE_ERROR;
    }
    std::unique_ptr<Action> action = precomplete_action(l.keyword, context);
    if (!action) {
      update_log_printf("AddPreCompleteActions: unknown token: %s", l.keyword);
      return PARSE_ERROR;
    }
    return parse_and_append(std::move(action), l.arguments, list);
  });
}

UpdaterError parse_manifest(char* text, ActionContext& context, ActionList* list) {
  bool first = true;
  UpdaterError e = for_each_line(text, [&](char* line) -> UpdaterError {
    if (line[0] == '#') return OK;
    Line l;
    if (!split_line(line, &l)) {
      update_log_printf("DoUpdate: token not found in manifest");
      return PARSE_ERROR;
    }
    const bool may_be_type = first;
    first = false;
    const std::string_view keyword = l.keyword;
    if (may_be_type && keyword == "type") {
      const std::string value(type_value(l.arguments));
      update_log_printf("UPDATE TYPE %s", value.c_str());
      return value == "complete" ? AddPreCompleteActions(context, list) : OK;
    }
    if (keyword == "rmrfdir") return add_dir_entries(l.arguments, context, list);
    std::unique_ptr<Action> action = manifest_action(keyword, context);
    if (!action) {
      update_log_printf("DoUpdate: unknown token: %s", l.keyword);
      return PARSE_ERROR;
    }
    return parse_and_append(std::move(action), l.arguments, list);
  });
  if (e == OK && list->count == 0) {
    update_log_printf("empty action list");
    e = NO_ACTIONS_ERROR;
  }
  if (e != OK) list->clear();
  return e;
}
