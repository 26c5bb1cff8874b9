#include "updater/ini.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::size_t skip_blanks(std::string_view line, std::size_t at) {
  while (at < line.size() && is_blank(line[at])) ++at;
  return at;
}

// The whole file as text, cut at its first NUL byte; nothing when it cannot be read.
std::optional<std::string> read_text(const char* path) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (!file || std::fseek(file.get(), 0, SEEK_END) != 0) return std::nullopt;
  long length = std::ftell(file.get());
  if (length < 1 || std::fseek(file.get(), 0, SEEK_SET) != 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(length), '\0');
  if (std::fread(text.data(), 1, text.size(), file.get()) != text.size()) return std::nullopt;
  text.resize(std::strlen(text.c_str()));
  return text;
}

// Whether a header line (its '[' at `open`) opens the section named `wanted`.
bool opens_section(std::string_view line, std::size_t open, std::string_view wanted) {
  std::size_t name_start = open + 1;
  std::size_t close = name_start + 1 < line.size() ? line.find(']', name_start + 1) : std::string_view::npos;
  if (close == std::string_view::npos) return line.substr(name_start) == wanted;
  if (skip_blanks(line, close + 1) != line.size()) return false;
  return line.substr(name_start, close - name_start) == wanted;
}

// Position of `key` in the NUL-separated list, or -1.
long key_index(const char* keys, std::string_view key) {
  long index = 0;
  for (const char* name = keys; *name != '\0'; name += std::strlen(name) + 1, ++index) {
    if (key == name) return index;
  }
  return -1;
}

}  // namespace

UpdaterError read_ini(const char* path, const char* keys, std::span<std::optional<std::string>> values,
                      const char* section) {
  std::optional<std::string> text = read_text(path);
  if (!text) return READ_ERROR;
  std::string_view wanted = section == nullptr ? "Strings" : section;

  bool inside = false;
  std::size_t stored = 0;
  std::string_view rest = *text;
  while (!rest.empty()) {
    std::size_t end = rest.find_first_of("\n\r");
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;

    std::size_t first = skip_blanks(line, 0);
    if (first < line.size() && line[first] == '[') {
      inside = opens_section(line, first, wanted);
      continue;
    }
    if (!inside) continue;
    std::size_t equals = line.find('=', first);
    if (equals == std::string_view::npos) continue;
    long index = key_index(keys, line.substr(first, equals - first));
    if (index < 0 || static_cast<std::size_t>(index) >= values.size()) continue;
    values[static_cast<std::size_t>(index)] = std::string(line.substr(equals + 1));
    ++stored;
  }
  return stored == values.size() ? OK : PARSE_ERROR;
}
