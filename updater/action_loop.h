#pragma once
// Running the phases of the manifest's actions, with the progress they make.
//
// Prepare of every action (progress 0 to 20 by count), Draft (20 to 85 by cost), Execute
// (85 to 95 by cost), then Finish (95 to 100 by count): with 0 from the head forwards after
// success, with the failure's code from the tail backwards after a failed Draft or
// Execute. A failed Prepare ends the run at once, without Finish. Progress is computed in
// single precision and stored into gProgressPercent after every step.
#include "updater/action.h"
#include "updater/updater_error.h"

// Runs the phases over `list` and returns the run's result; sets gUpdateSucceeded on
// success. An empty list gives NO_ACTIONS_ERROR after the line "empty action list".
UpdaterError RunActions(ActionList& list);
