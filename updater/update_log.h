#pragma once
// The update log: one timestamped line per step, written by the main thread, the update
// thread and the patch engine, into "update.log" (or "update-elevated.log") of the patch
// directory.
//
// While the updater runs the lines live in an anonymous temporary file; finishing the
// log copies them beside the final name and renames the copy over it, so a crash leaves
// the previous run's log in place. Every failure of the log itself is silent: the update
// goes on and lines that cannot be kept are dropped.
//
// There is no lock: main writes before it starts the update thread and after it joined
// it, the update thread (and the engine on it) in between. Only the creation of the
// process-wide object is guarded, so the first use may come from either thread.
#include <array>
#include <cstdio>
#include <ctime>
#include <optional>

#include "updater/path_buffer.h"

struct UpdateLog {
  std::FILE* file = nullptr;  // the anonymous temporary file; null while closed
  PathBuffer path{};          // final path of the log
};

// The process-wide log, created on first use; creating it registers update_log_at_exit.
UpdateLog& update_log();

// Appends one line: the local time as "%Y-%m-%d %H:%M:%S%z", ": ", the formatted text and
// a newline, then flushes. Without a known local time the line is the text alone. Does
// nothing while the log is closed.
void update_log_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens the log for `path` when it is closed and the path is 1 to 4,094 bytes long;
// otherwise changes nothing. When no temporary file can be made, the log stays closed.
void open_update_log(const char* path);

// Moves the log to its final path (mode 0600) and closes it; a second call does nothing.
// When the final file cannot be created the log stays open with its lines; when the copy
// or its flush fails the log is closed and the previous file of that name is kept.
void finish_update_log();

// The exit handler: finish_update_log.
void update_log_at_exit();

// The time field of a line for `now`: nothing when the local time is unknown; the
// 32-bit decimal seconds when the formatted time does not fit its 25 bytes.
std::optional<std::array<char, 25>> log_time_field(std::time_t now);
