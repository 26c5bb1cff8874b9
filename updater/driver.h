#pragma once
// The updater program from its command line to its exit code or callback.
//
// Main checks the command line, opens the update log, writes the status "applying",
// starts the update thread, shows the progress window while a normal, visible update
// runs, joins the thread, and finally replaces itself with the callback program when one
// is given (whatever the update's outcome), or returns 0 when the update succeeded and 1
// otherwise. Command-line errors go to the standard error stream, with the status codes
// of parse_command_line once the patch directory is known.
//
// Only main writes the update log before the update thread starts and after it has been
// joined; the update thread writes it in between.

// The program's main.
int updater_main(int argc, char** argv);
