#include "updater/driver.h"

#include <nss.h>
#include <prerror.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "updater/callback.h"
#include "updater/channels_query.h"
#include "updater/command_line.h"
#include "updater/driver_state.h"
#include "updater/progress_window.h"
#include "updater/remove_tree.h"
#include "updater/status_file.h"
#include "updater/update_log.h"
#include "updater/update_thread.h"

namespace {

constexpr useconds_t kWindowDelayUs = 500'000;
// A window that would appear after the update is mostly done is not worth showing.
constexpr float kLatestWindowPercent = 70.0f;

void init_nss_or_exit() {
  if (NSS_NoDB_Init(nullptr) == SECSuccess) return;
  const PRErrorCode error = PR_GetError();
  const char* name = PR_ErrorToName(error);
  std::fprintf(stderr, "Could not initialize NSS: %s (%d)", name != nullptr ? name : "", error);
  std::exit(1);
}

void adopt(const CommandLine& line) {
  gPatchDir = line.patch_dir;
  gInstallDir = line.install_dir;
  gWorkingDir = line.working_dir;
  gStagedUpdate = line.staged;
  gReplaceRequest = line.replace;
  sUpdateSilently = line.silent;
  gInvocation = line.invocation;
}

const char* flag(bool value) { return value ? "true" : "false"; }

void open_log() {
  PathBuffer path{};
  const char* name = gInvocation == UpdaterInvocation::First ? "update.log" : "update-elevated.log";
  // A cut path would put the log under another name.
  if (format_path(path, "%s/%s", gPatchDir.data(), name)) open_update_log(path.data());
}

void log_start() {
  update_log_printf("sElevationType == ElevationType::ElevatedByKPR=%s", "false");
  update_log_printf("sUpdateSilently=%s", flag(sUpdateSilently));
  update_log_printf("isElevationTypeElevated(sElevationType)=%s", "false");
  update_log_printf("gInvocation=%s",
                    gInvocation == UpdaterInvocation::First ? "UpdaterInvocation::First" : "UpdaterInvocation::Second");
}

void log_directories() {
  if (gStagedUpdate) update_log_printf("Performing a staged update");
  if (gReplaceRequest) update_log_printf("Performing a replace request");
  update_log_printf("PATCH DIRECTORY %s", gPatchDir.data());
  update_log_printf("INSTALLATION DIRECTORY %s", gInstallDir.data());
  update_log_printf("WORKING DIRECTORY %s", gWorkingDir.data());
}

// mkdir with mode 0755; an existing folder (or a link to one) is fine.
bool make_working_dir() {
  if (::mkdir(gWorkingDir.data(), 0755) == 0) return true;
  if (errno != EEXIST) return false;
  struct stat st {};
  return ::stat(gWorkingDir.data(), &st) == 0 && S_ISDIR(st.st_mode);
}

void* update_thread_entry(void*) {
  UpdateThreadMain();
  return nullptr;
}

bool window_wanted() { return !gStagedUpdate && !gReplaceRequest && !sUpdateSilently && progress_ui().enabled; }

}  // namespace

int updater_main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--channels-allowed") == 0) return print_channels_allowed();
  init_nss_or_exit();

  const CommandLine line = parse_command_line(argc, argv);
  if (!line.accepted()) {
    if (line.status != OK) {
      char failed[32];
      std::snprintf(failed, sizeof failed, "failed: %d\n", line.status);
      WriteToFile(line.patch_dir.data(), failed);
    }
    std::fputs(line.error.c_str(), stderr);
    return 1;
  }
  adopt(line);

  if (!sUpdateSilently) InitProgressUI(argc, argv, gPatchDir.data());
  open_log();
  log_start();
  if (!WriteToFile(gPatchDir.data(), "applying")) {
    update_log_printf("failed setting status to 'applying'");
    finish_update_log();
    return 1;
  }
  log_directories();

  if (gStagedUpdate) ensure_remove_recursive(gWorkingDir.data(), false);
  // A run that ends before the update thread starts still leaves a final status, so
  // whoever reads it (the callback too) does not find "applying".
  if (!gReplaceRequest && !make_working_dir()) {
    ReportUpdateResult(WRITE_ERROR);
    finish_update_log();
    return 1;
  }

  pthread_t worker{};
  const bool started = ::pthread_create(&worker, nullptr, update_thread_entry, nullptr) == 0;
  if (started && window_wanted()) {
    ::usleep(kWindowDelayUs);
    if (gQuitProgressUI.load(std::memory_order_relaxed) == 0 &&
        gProgressPercent.load(std::memory_order_relaxed) <= kLatestWindowPercent) {
      ShowProgressUI();
    }
  }
  if (started) {
    ::pthread_join(worker, nullptr);
  } else {
    ReportUpdateResult(WRITE_ERROR);
  }

  update_log_printf("Running LaunchCallbackAndPostProcessApps");
  if (!line.has_callback) {
    update_log_printf("No callback arg. Skipping LaunchWinPostProcess and LaunchCallbackApp");
    finish_update_log();
  } else {
    LaunchCallbackAndPostProcessApps(argv[kCallbackWorkingDirArg], argv + kCallbackPathArg);
  }
  return gUpdateSucceeded ? 0 : 1;
}
