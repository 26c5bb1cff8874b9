#pragma once
// A small tmpfs mounted by a test (root only; callers skip where mounting is refused),
// filled so that exactly a chosen number of pages stays free, which places a failure at
// every stage of a write.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace updater_test {

inline constexpr std::size_t kPage = 4096;

class SmallDisk {
 public:
  SmallDisk() : path_(dir_ / "disk") {
    ::mkdir(path_.c_str(), 0755);
    mounted_ = ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=1m,mode=0755") == 0;
  }
  ~SmallDisk() {
    ::close(filler_);
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  bool mounted() const { return mounted_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  // Fills the disk, then frees `pages` pages. True when exactly that many are free.
  bool leave_free(std::size_t pages) {
    if (filler_ < 0) filler_ = ::open((path_ + "/.filler").c_str(), O_RDWR | O_CREAT, 0600);
    if (filler_ < 0) return false;
    const std::string page(kPage, 'f');
    off_t size = ::lseek(filler_, 0, SEEK_END);
    while (::write(filler_, page.data(), kPage) == static_cast<ssize_t>(kPage)) size += static_cast<off_t>(kPage);
    if (::ftruncate(filler_, size - static_cast<off_t>(pages * kPage)) != 0) return false;
    ::lseek(filler_, 0, SEEK_END);
    struct statvfs fs {};
    return ::statvfs(path_.c_str(), &fs) == 0 && fs.f_bavail * fs.f_bsize == pages * kPage;
  }

  // Every name on the disk but the filler.
  std::vector<std::string> names() const {
    std::vector<std::string> all = list_dir(path_);
    std::erase(all, ".filler");
    return all;
  }

 private:
  TempDir dir_;
  std::string path_;
  bool mounted_ = false;
  int filler_ = -1;
};

}  // namespace updater_test
