#pragma once
// Starting the callback program once the update is over, successful or not.

// Finishes the update log (so the callback can read it whole), sets
// "VEX_LAUNCHED_CHILD=1" in the environment, changes to `working_dir` (a failure does not
// stop the launch) and replaces the process with `argv[0]`, given `argv` (null-terminated)
// as its argument vector. Returns only when the program could not be started.
void LaunchCallbackAndPostProcessApps(const char* working_dir, char* const* argv);
