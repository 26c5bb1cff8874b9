#include "updater/driver_state.h"

PathBuffer gPatchDir{};
PathBuffer gInstallDir{};
PathBuffer gWorkingDir{};
bool gStagedUpdate = false;
bool gReplaceRequest = false;
bool sUpdateSilently = false;
UpdaterInvocation gInvocation = UpdaterInvocation::First;
bool gUpdateSucceeded = false;

std::atomic<float> gProgressPercent{0.0f};
std::atomic<int> gQuitProgressUI{0};

void QuitProgressUI() { gQuitProgressUI.exchange(1, std::memory_order_relaxed); }

void reset_driver_state() {
  gPatchDir = {};
  gInstallDir = {};
  gWorkingDir = {};
  gStagedUpdate = false;
  gReplaceRequest = false;
  sUpdateSilently = false;
  gInvocation = UpdaterInvocation::First;
  gUpdateSucceeded = false;
  gProgressPercent.store(0.0f, std::memory_order_relaxed);
  gQuitProgressUI.store(0, std::memory_order_relaxed);
}
