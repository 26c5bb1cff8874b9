#pragma once
// A small installation-like tree for the tree walks: files of several sizes and modes,
// empty and nested folders, and links of every kind, some pointing into a folder outside
// the tree that nothing done to the tree may change.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace updater_test {

struct SampleTree {
  TempDir outside;
  std::string root;  // the tree itself, inside the caller's folder

  explicit SampleTree(const std::string& where) : root(where) {
    // Outside: a read-only file and a read-only folder with a read-only file in it.
    write_file(outside / "secret", "do not touch");
    ::chmod((outside / "secret").c_str(), 0444);
    ::mkdir((outside / "locked").c_str(), 0755);
    write_file(outside / "locked/inner", "inner");
    ::chmod((outside / "locked/inner").c_str(), 0444);
    ::chmod((outside / "locked").c_str(), 0555);

    ::mkdir(root.c_str(), 0755);
    write_file(root + "/a.txt", "alpha\n");
    write_file(root + "/zero", "");
    write_file(root + "/chunk", std::string(32768, 'c'));
    std::string big;
    for (int i = 0; i < 100001; ++i) big += static_cast<char>((i * 131 + i / 7) & 0xff);
    write_file(root + "/big.bin", big);
    ::mkdir((root + "/empty").c_str(), 0700);
    ::mkdir((root + "/sub").c_str(), 0755);
    write_file(root + "/sub/ro.bin", big.substr(0, 40000));
    ::chmod((root + "/sub/ro.bin").c_str(), 0444);
    write_file(root + "/sub/run.sh", "#!/bin/sh\n");
    ::chmod((root + "/sub/run.sh").c_str(), 0755);
    write_file(root + "/sub/private", "p");
    ::chmod((root + "/sub/private").c_str(), 0600);
    ::mkdir((root + "/sub/deep").c_str(), 0755);
    ::mkdir((root + "/sub/deep/deeper").c_str(), 0755);
    write_file(root + "/sub/deep/deeper/file", "deep");
    ::symlink("sub/ro.bin", (root + "/rel-link").c_str());
    ::symlink("../a.txt", (root + "/sub/up-link").c_str());
    ::symlink((outside / "secret").c_str(), (root + "/abs-link").c_str());
    ::symlink("nowhere/at/all", (root + "/dangling").c_str());
    ::symlink((outside / "locked").c_str(), (root + "/outside-dir").c_str());
  }
};

}  // namespace updater_test
