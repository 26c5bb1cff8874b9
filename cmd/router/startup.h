#pragma once
// The program's start-up after the command line, its banner and status line, and the whole
// of `main`.
#include <optional>
#include <string>
#include <vector>

#include "cmd/router/command_line.h"
#include "encoding/error.h"
#include "router/router.h"

namespace cmd_router {

// Prepares the constant tables that other parts read.
void init_constants();

// Adds the parts of the loop this program runs on the router record: the client services'
// and the torrent engine's timers and sockets join the loop's wait. Fails only when the
// record's table of loop parts is full.
Result<void> add_loop_parts(router::Router& r);

// Starts the router and everything the settings ask for, printing progress, warnings and
// the banner. None when the program must end (the error line is already printed).
std::optional<router::Router> start_router(const Settings& settings);

// The banner printed once start-up is complete.
std::vector<std::string> banner_lines(const router::Router& r, const Settings& settings);

// The line printed every 5,000 ms in public mode.
std::string status_line(const router::Router& r);

// The program: reads the arguments, starts the router and runs its loop for ever. Returns
// the exit status when the program ends before the loop: 0 after --help, 1 when start-up
// failed.
int run(int argc, char** argv);

}  // namespace cmd_router
