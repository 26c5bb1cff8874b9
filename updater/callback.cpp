#include "updater/callback.h"

#include <unistd.h>

#include <cstdlib>

#include "updater/update_log.h"

namespace {

// putenv keeps the string itself, so it must live as long as the process.
char kLaunchedChild[] = "VEX_LAUNCHED_CHILD=1";

}  // namespace

void LaunchCallbackAndPostProcessApps(const char* working_dir, char* const* argv) {
  finish_update_log();
  ::putenv(kLaunchedChild);
  if (::chdir(working_dir) != 0) {
    // The callback starts anyway, in the updater's own working directory.
  }
  ::execv(argv[0], argv);
}
