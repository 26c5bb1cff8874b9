#pragma once
// A fresh folder under /tmp for one test, removed with everything in it at the end.
#include <stdlib.h>

#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kestor_XXXXXX";
    if (mkdtemp(tmpl) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    if (!path_.empty()) std::filesystem::remove_all(path_);
  }
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};
