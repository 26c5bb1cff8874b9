#include "updater/action.h"

#include <cstring>

#include "updater/valid_path.h"

UpdaterError FileAction::ParsePath(char** cursor, bool is_dir) {
  const char* path = get_valid_path(cursor, is_dir);
  if (path == nullptr) return PARSE_ERROR;
  relative_path = path;
  full_path = FullPathOf(path);
  return OK;
}

UpdaterError FileAction::ParseTestPath(char* arguments, std::string* test_path, char** rest) {
  char* cursor = arguments;
  const char* test = get_valid_path(&cursor, false);
  if (test == nullptr || cursor == nullptr) return PARSE_ERROR;
  char* quote = std::strchr(cursor, '"');
  if (quote == nullptr) return PARSE_ERROR;
  *test_path = FullPathOf(test);
  *rest = quote + 1;
  return OK;
}

std::string FileAction::FullPathOf(const char* relative) const { return context_.base_dir + "/" + relative; }

void ActionList::append(std::unique_ptr<Action> action) {
  Action* a = action.release();
  a->prev = tail;
  a->next = nullptr;
  if (tail != nullptr) {
    tail->next = a;
  } else {
    head = a;
  }
  tail = a;
  ++count;
}

void ActionList::clear() {
  while (head != nullptr) {
    Action* next = head->next;
    delete head;
    head = next;
  }
  tail = nullptr;
  count = 0;
}
