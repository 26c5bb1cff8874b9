#include "updater/valid_path.h"

#include <cstring>

#include "updater/path_buffer.h"
#include "updater/update_log.h"

char* get_valid_path(char** cursor, bool is_dir) {
  char* text = cursor == nullptr ? nullptr : *cursor;
  if (text == nullptr || text[std::strspn(text, "\"")] == '\0') {
    update_log_printf("get_valid_path: unable to determine path: %s", text == nullptr ? "(null)" : text);
    return nullptr;
  }
  char* path = text + std::strspn(text, "\"");
  char* quote = std::strchr(path, '"');
  if (quote != nullptr) *quote = '\0';
  *cursor = quote == nullptr ? nullptr : quote + 1;

  if (path[0] == '/') {
    update_log_printf("get_valid_path: path must be relative: %s", path);
    return nullptr;
  }
  std::size_t length = std::strlen(path);
  if (is_dir) {
    if (path[length - 1] != '/') {
      update_log_printf("get_valid_path: directory paths must have a trailing forward slash: %s", path);
      return nullptr;
    }
    path[--length] = '\0';
  }
  if (std::strstr(path, "..") != nullptr) {
    update_log_printf("get_valid_path: paths must not contain '..': %s", path);
    return nullptr;
  }
  // The actions keep the relative path in a path buffer; a longer one would be cut.
  if (length >= kPathBufferSize) {
    update_log_printf("get_valid_path: path too long: %.64s...", path);
    return nullptr;
  }
  return path;
}
