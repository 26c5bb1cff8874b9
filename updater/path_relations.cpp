#include "updater/path_relations.h"

#include <strings.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct FreeDeleter {
  void operator()(char* p) const { std::free(p); }
};

std::vector<std::string> components(const char* path) {
  std::vector<std::string> parts;
  std::string part;
  for (const char* c = path;; ++c) {
    if (*c == '/' || *c == '\0') {
      if (!part.empty() && part != ".") parts.push_back(part);
      part.clear();
      if (*c == '\0') break;
    } else {
      part.push_back(*c);
    }
  }
  return parts;
}

std::string join(const std::vector<std::string>& parts, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out.append("/").append(parts[i]);
  return out.empty() ? "/" : out;
}

// Like path_within, with the bytes of `outer` compared ignoring case, as the staging
// copy compares the paths it leaves out.
bool path_within_nocase(const std::string& inner, const std::string& outer) {
  return inner.size() >= outer.size() && ::strncasecmp(inner.c_str(), outer.c_str(), outer.size()) == 0 &&
         (inner.size() == outer.size() || inner[outer.size()] == '/');
}

}  // namespace

std::string resolved_path(const char* path) {
  const std::vector<std::string> parts = components(path);
  for (std::size_t keep = parts.size();; --keep) {
    std::unique_ptr<char, FreeDeleter> real(::realpath(join(parts, keep).c_str(), nullptr));
    if (real) {
      std::string out = real.get();
      for (std::size_t i = keep; i < parts.size(); ++i) {
        if (out != "/") out.push_back('/');
        out.append(parts[i]);
      }
      return out;
    }
    // Even the root did not resolve: take the path as written.
    if (keep == 0) return join(parts, parts.size());
  }
}

bool path_within(const std::string& inner, const std::string& outer) {
  if (outer == "/") return true;
  return inner.size() >= outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
         (inner.size() == outer.size() || inner[outer.size()] == '/');
}

bool staging_dir_is_safe(const char* install_dir, const char* patch_dir, const char* working_dir) {
  const std::string install = resolved_path(install_dir);
  const std::string patch = resolved_path(patch_dir);
  const std::string work = resolved_path(working_dir);
  // Emptying it would delete the installation or the archive.
  if (path_within(install, work) || path_within(patch, work)) return false;
  // Any folder of the installation that the copy does not leave out would be copied into
  // itself.
  return !path_within(work, install) || path_within_nocase(work, install + "/updated") ||
         path_within_nocase(work, install + "/updates/0");
}
