#pragma once
// The update thread: the whole update between main's start and its join.
//
// A replace request swaps the staged copy "<install>.bak/updated" into place: the
// installation goes to "<install>.bak", the copy (left there by the staged run in
// "<install>/updated") takes its place, and the old installation is removed; a failed
// swap moves the old installation back. Any other run opens and checks the archive,
// copies the installation into the working directory for a staged update, extracts and
// parses the manifest, runs the actions, and removes "<working>/updating".
//
// Every path ends with a final status and the quit flag set, whatever happened before.
#include "updater/updater_error.h"

// Runs the update described by the driver's state, reports the result, and sets the
// quit flag.
void UpdateThreadMain();

// Writes the final status of a run that ended with `result` (and logs it):
//   success           "succeeded\n", or "applied\n" for a staged update;
//   failed replace    "pending" (the staged copy is still there to swap);
//   failed staged     the working copy is removed, then "failed: %d\n";
//   any other         "failed: %d\n".
// The working directory of a replace request is never removed: nothing about it was
// checked, and it may be anything.
void ReportUpdateResult(UpdaterError result);
