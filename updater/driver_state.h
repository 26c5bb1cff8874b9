#pragma once
// What the main thread and the update thread share. Main writes the paths and flags
// before it starts the update thread and reads gUpdateSucceeded after joining it, so
// those need no lock. The progress and the quit flag are read while the update thread
// writes them (by the window's timer), so they are atomics, each stored and loaded whole;
// no ordering is needed between them.
#include <atomic>

#include "updater/path_buffer.h"

enum class UpdaterInvocation { First, Second };

// The patch directory: the archive, the status file, the log and the window's icon.
extern PathBuffer gPatchDir;
// The installation, without a trailing '/'.
extern PathBuffer gInstallDir;
// The working directory, without a trailing '/': the copy of a staged update, and
// "updating" with the manifest and patch files of the run.
extern PathBuffer gWorkingDir;
// The update works on a copy of the installation in the working directory.
extern bool gStagedUpdate;
// The run swaps a staged copy into place instead of updating.
extern bool gReplaceRequest;
// No progress window.
extern bool sUpdateSilently;
// Which invocation runs; chooses the log's name.
extern UpdaterInvocation gInvocation;
// Set by the update thread when the update succeeded.
extern bool gUpdateSucceeded;

// 0 to 100, written by the update thread after every action step.
extern std::atomic<float> gProgressPercent;
// Set to 1, once, by the update thread at its very end.
extern std::atomic<int> gQuitProgressUI;

// Sets gQuitProgressUI.
void QuitProgressUI();

// Clears every flag and path and the progress, as at process start. For tests that run
// several updates in one process.
void reset_driver_state();
