// The spmsim-ip program: finds the host (given, or by its discovery
// broadcast), opens the channel and the services connection (optionally
// under TLS), runs the terminal logic over them, and reconnects with a
// growing back-off when they drop. Event lines go to `events`, diagnostics
// to `diag`; "quit" on stdin or SIGINT/SIGTERM stop it.
//
// Everything runs on the calling thread in one poll() loop; no other
// threads are started.
#pragma once

#include "tools/spmsim-ip/options.h"

#include <cstdio>

namespace spmsimip {

// Returns the exit status. Installs the signal handlers (SIGINT, SIGTERM;
// SIGPIPE ignored) for the duration of the call.
int runSimulator(const Options &options, std::FILE *events, std::FILE *diag);

}  // namespace spmsimip
