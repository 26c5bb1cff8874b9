#pragma once
// One update run as the driver runs it, on folders of a test: an installation, a working
// folder, a patch folder with the archive, and a folder outside that links in the
// installation point to and that nothing may change. Archives come from the python3
// writer (tests/support/vpk_writer.py); patches from bsdiff and the transcoder.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "action_test_util.h"
#include "qbdiff_tools.h"
#include "test_util.h"
#include "tests/support/vpk_writer.h"
#include "updater/copy_tree.h"
#include "updater/manifest.h"
#include "updater/remove_tree.h"
#include "updater/vpk_archive.h"

namespace updater_test {

struct ArchiveItem {
  std::string name;
  std::string data;
  unsigned mode = 0644;
};

// A python string literal of `s`.
inline std::string py_str(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += (c == '\\' || c == '\'') ? std::string("\\") + c : std::string(1, c);
  return out + "'";
}

// An archive holding the items, each an XZ stream made by the xz command; empty when
// the writer failed.
inline std::string make_archive(const std::vector<ArchiveItem>& items) {
  TempDir dir;
  std::string body = "items = []\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string path = dir / std::to_string(i);
    if (!write_file(path, items[i].data)) return {};
    body += "items.append(Item(" + py_str(items[i].name) + ", xz(open(" + py_str(path) +
            ", 'rb').read()), flags=" + std::to_string(items[i].mode) + "))\n";
  }
  body += "out('update.vpk', Vpk(items=items).build())\n";
  auto outputs = test_support::run_vpk_writer(body, ONDREL_SOURCE_DIR);
  return outputs.count("update.vpk") != 0 ? outputs["update.vpk"] : std::string();
}

// Names the run's folders; the installation and the working folder are made by the test.
struct UpdateDirs {
  TempDir root;
  TempDir outside;
  std::string install = root / "install";
  std::string work = root / "work";
  std::string patch = root / "patch";

  UpdateDirs() { ::mkdir(patch.c_str(), 0755); }
};

// Runs a whole update as the driver does: the archive opened from the patch folder, in a
// staged update a copy of the installation into the working folder, the "updating"
// folder created, the manifest parsed and the phases run, and "updating" removed. Returns
// the run's result.
inline UpdaterError run_update(const UpdateDirs& dirs, const std::string& archive, std::string manifest, bool staged) {
  if (!write_file(dirs.patch + "/update.vpk", archive) || vpk_open(dirs.patch.c_str()) != OK) return -100;
  if (staged) {
    ensure_remove_recursive(dirs.work.c_str(), false);
    if (ensure_copy(dirs.install.c_str(), dirs.work.c_str(), nullptr, nullptr) != OK) return -101;
  }
  ::mkdir(dirs.work.c_str(), 0755);
  ::mkdir((dirs.work + "/updating").c_str(), 0755);
  ActionContext context{staged ? dirs.work : dirs.install, dirs.work, staged, 0};
  ActionList list;
  UpdaterError result = parse_manifest(manifest.data(), context, &list);
  if (result == OK) result = run_phases(list);
  list.clear();
  vpk_close();
  ensure_remove_recursive((dirs.work + "/updating").c_str(), false);
  return result;
}

}  // namespace updater_test
