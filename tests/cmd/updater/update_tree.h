#pragma once
// The folders of one program run, made in the test's own folder: an installation that
// accepts the channel "release", a patch folder for the archive, a working folder (not
// made), and a folder outside all of them. Archives are signed by tests/support/vpk_writer.py
// with the key of the first test certificate, which the test build of the program trusts.
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/vpk_writer.h"
#include "tests/updater/log_lines.h"
#include "tests/updater/test_util.h"

namespace program_test {

struct ArchiveFile {
  std::string name;
  std::string data;
  unsigned mode = 0644;
};

struct ArchiveOptions {
  std::string key = "KEY1";  // a key name of the writer; "UNTRUSTED_KEY" for a foreign one
  std::string channel = "release";
  std::string version = "153.8.0";
};

// A signed archive holding the files, each an XZ stream made by the xz command with its
// lightest preset (the default one sets up a large encoder for every item, which makes an
// archive of a few hundred items take most of a minute); empty when the writer failed.
// Names must not hold tabs or line ends.
inline std::string signed_archive(const std::vector<ArchiveFile>& files, const ArchiveOptions& options = {}) {
  updater_test::TempDir dir;
  std::ofstream list(dir / "list");
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::string path = dir / std::to_string(i);
    if (!updater_test::write_file(path, files[i].data)) return {};
    list << files[i].mode << '\t' << path << '\t' << files[i].name << '\n';
  }
  list.close();
  // Channel and version go through files too, so no text needs quoting for python.
  if (!updater_test::write_file(dir / "channel", options.channel) ||
      !updater_test::write_file(dir / "version", options.version)) {
    return {};
  }
  const std::string body = "d = '" + dir.path() +
                           "'\n"
                           "items = []\n"
                           "for line in open(d + '/list', encoding='utf-8').read().splitlines():\n"
                           "    mode, path, name = line.split('\\t', 2)\n"
                           "    items.append(Item(name, xz(open(path, 'rb').read(), '-0'), flags=int(mode)))\n"
                           "channel = open(d + '/channel', encoding='utf-8').read()\n"
                           "version = open(d + '/version', encoding='utf-8').read()\n"
                           "out('update.vpk', Vpk(items=items, signatures=[Signature(" +
                           options.key + ")], channel=channel, version=version).build())\n";
  auto outputs = test_support::run_vpk_writer(body, ONDREL_SOURCE_DIR);
  return outputs.count("update.vpk") != 0 ? outputs["update.vpk"] : std::string();
}

struct UpdateTree {
  updater_test::TempDir root;
  std::string install = root / "install";
  std::string patch = root / "patch";
  std::string work = root / "work";
  std::string outside = root / "outside";

  UpdateTree() {
    ::mkdir(install.c_str(), 0755);
    ::mkdir(patch.c_str(), 0755);
    ::mkdir(outside.c_str(), 0755);
    put(install + "/update-settings.ini", "[Settings]\nACCEPTED_VPK_CHANNEL_IDS=release\n");
  }

  // Writes a file, creating the folders above it; fails the test when it cannot.
  static void put(const std::string& path, const std::string& data, mode_t mode = 0644) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
      ::mkdir(path.substr(0, slash).c_str(), 0755);
    }
    if (!updater_test::write_file(path, data) || ::chmod(path.c_str(), mode) != 0) {
      ADD_FAILURE() << "cannot write " << path;
    }
  }

  // Signs an archive of the files into the patch folder; false when the writer failed.
  bool put_archive(const std::vector<ArchiveFile>& files, const ArchiveOptions& options = {}) const {
    const std::string archive = signed_archive(files, options);
    return !archive.empty() && updater_test::write_file(patch + "/update.vpk", archive);
  }

  std::optional<std::string> status() const { return updater_test::read_file(patch + "/update.status"); }
  std::string log(const std::string& name = "update.log") const {
    return updater_test::read_file(patch + "/" + name).value_or("");
  }

  // The five arguments of a run, then `more` (wait-pid, callback...).
  std::vector<std::string> args(std::vector<std::string> more = {}, const std::string& invocation = "first") const {
    std::vector<std::string> all = {"1", patch, install, work, invocation};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
};

// Whether anything (a dangling link too) stands at `path`.
inline bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

using updater_test::log_messages;

}  // namespace program_test
