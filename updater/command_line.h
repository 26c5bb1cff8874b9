#pragma once
// The updater's command line (positions after the program name):
//   1 arg-version (not read), 2 patch-dir, 3 install-dir, 4 apply-to-dir,
//   5 which-invocation ("first" or "second"),
//   6 wait-pid (optional: -1 as a 32-bit int stages the update, a value holding
//     "/replace" swaps a staged copy into place, anything else is a normal update;
//     nothing is waited for),
//   7 callback-working-dir, 8 callback-path, 9... its arguments (all optional);
//     "-backgroundtask" or "--backgroundtask" among the arguments makes the run silent.
#include <string>

#include "updater/driver_state.h"
#include "updater/path_buffer.h"
#include "updater/updater_error.h"

inline constexpr const char* kUsageText =
    "Usage: updater arg-version patch-dir install-dir apply-to-dir which-invocation [wait-pid "
    "[callback-working-dir callback-path args...]]\n";

// Positions of the arguments in the argument vector.
inline constexpr int kPatchDirArg = 2;
inline constexpr int kInstallDirArg = 3;
inline constexpr int kWorkingDirArg = 4;
inline constexpr int kInvocationArg = 5;
inline constexpr int kWaitPidArg = 6;
inline constexpr int kCallbackWorkingDirArg = 7;
inline constexpr int kCallbackPathArg = 8;

// An accepted command line, or why it was refused.
struct CommandLine {
  // The text for the standard error stream when refused; empty when accepted.
  std::string error;
  // The code written to the status file as "failed: %d\n" when refused after the patch
  // directory was accepted; OK when no status is written.
  UpdaterError status = OK;

  PathBuffer patch_dir{};
  PathBuffer install_dir{};  // one trailing '/' removed
  PathBuffer working_dir{};  // one trailing '/' removed
  UpdaterInvocation invocation = UpdaterInvocation::First;
  bool staged = false;
  bool replace = false;
  bool silent = false;
  // Whether callback-path is given (and checked): then argv[kCallbackPathArg] onwards is
  // the callback's argument vector.
  bool has_callback = false;

  bool accepted() const { return error.empty(); }
};

// A path argument the updater accepts: at most 4,095 bytes, absolute, without a "/../"
// and not ending in "/..".
bool is_valid_path_argument(const char* path);

// Checks the command line in order and stops at the first refusal:
//   fewer than five arguments                        the usage text
//   which-invocation neither "first" nor "second"    "Error invocation of updater.exe\n"
//   patch-dir not a valid path                       its message, no status
//   install-dir not valid, or the root               75
//   apply-to-dir not valid, or in a staged update
//     not a safe place for the copy                  76
//   callback-path not valid                          77
//   callback-path not below install-dir              78
// A callback must lie strictly below the installation ("<install-dir>/" and at least one
// more byte): the updater may run with more rights than whoever started it, and it
// starts the callback with them.
CommandLine parse_command_line(int argc, char* const* argv);
