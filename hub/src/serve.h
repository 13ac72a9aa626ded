#pragma once
#include "common/config.h"

namespace hub {

// Runs the hub until SIGTERM or SIGINT: returns the process's exit code (0 after a clean end, 1 when it
// could not start; the reason is logged).
int serve(const Config& config);

}  // namespace hub
