#include "updater/manifest_contents.h"

#include <sys/stat.h>

#include <cstdio>

#include "updater/update_log.h"

MallocText GetManifestContents(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    update_log_printf("GetManifestContents: error opening manifest file: %s", path);
    return nullptr;
  }
  MallocText text;
  struct stat st {};
  if (::fstat(::fileno(file), &st) != 0) {
    update_log_printf("GetManifestContents: error stating manifest file: %s", path);
  } else {
    auto size = static_cast<std::size_t>(st.st_size);
    text.reset(static_cast<char*>(std::malloc(size + 1)));
    if (text && std::fread(text.get(), 1, size, file) != size) {
      update_log_printf("GetManifestContents: error reading manifest file: %s", path);
      text.reset();
    } else if (text) {
      text[size] = '\0';
    }
  }
  if (std::fclose(file) != 0) update_log_printf("File close did not execute successfully");
  return text;
}
