#pragma once
// The patcher of the executable-aware kestor format, made when a patch is not QBDIFF10.
#include <memory>

#include "updater/patcher.h"

// Creates a KestorPatcher. Never null: a patcher whose engine state could not be set up
// carries that failure and reports it from ReadHeader.
std::unique_ptr<Patcher> create_kestor_patcher();

// From now on every log message of the patch engine is one line of the update log: installs
// the update log as the engine's log writer and fills both hook slots. Called once by the
// update thread before it parses the manifest.
void install_kestor_log_hooks();
