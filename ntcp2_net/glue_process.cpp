// The process's home directory and standard output.
#include <dirent.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ntcp2_net/glue.h"
#include "ntcp2_net/glue_detail.h"

extern "C" {

std::int32_t ondrel_i2p_net_home_dir(std::uint8_t* buf, std::int32_t capacity) {
  if (buf == nullptr || capacity <= 0) return 0;
  const char* home = std::getenv("HOME");
  if (home == nullptr) return 0;
  std::size_t len = std::strlen(home);
  // A cut-off path would name some other folder; treat it as unknown instead.
  if (len > static_cast<std::size_t>(capacity)) return 0;
  std::memcpy(buf, home, len);
  return static_cast<std::int32_t>(len);
}

std::int32_t ondrel_i2p_net_descriptor_limit(void) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    ntcp2_net::glue_detail::set_errno_error(errno);
    return -1;
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 0x7fffffff) return 0x7fffffff;
  return static_cast<std::int32_t>(limit.rlim_cur);
}

std::int32_t ondrel_i2p_net_open_descriptors(void) {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) {
    ntcp2_net::glue_detail::set_errno_error(errno);
    return -1;
  }
  std::int32_t n = 0;
  while (const dirent* e = ::readdir(dir)) {
    if (e->d_name[0] != '.') ++n;
  }
  ::closedir(dir);
  return n - 1;  // the listing's own
}

std::int32_t ondrel_i2p_net_flush_stdout(void) { return std::fflush(stdout); }

}  // extern "C"
