#pragma once
// The operator's command line: serve, and the commands that change accounts and what counters are told.

namespace hub::cli {

// Returns the process's exit code: 0 done, 1 the work failed (store, port, no such account), 2 bad arguments,
// 70 a defect of the hub's own (EX_SOFTWARE).
int run(int argc, char** argv);

}  // namespace hub::cli
