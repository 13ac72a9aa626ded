#pragma once
// The two kinds of failure that travel through the hub as exceptions. Everything else that is thrown is
// a defect of ours: it is logged as one where the job it ended is caught, never passed off as either.
#include <stdexcept>
#include <string>

namespace hub {

// The caller asked for something the hub will not do: a phone's bad field, a counter's unknown token,
// an operator's wrong argument. It is the caller's to mend, so it is answered (an HTTP status with the
// reason, an exit code) and never logged as the hub's own failure. Thrown where the request is read,
// caught where it is answered.
struct Refused : std::runtime_error {
  Refused(int status, const std::string& reason) : std::runtime_error(reason), status(status) {}
  int status;  // the HTTP status (or the service's error number, or the command's exit code)
};

// Something outside the hub's code failed: the store's engine, a file, the network, a system library.
// The message carries that thing's own words, so that the one log line written where the failure is
// caught says why (SQLite's "database or disk is full", not "store unavailable").
struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace hub
