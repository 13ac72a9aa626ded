// Native builds only: endProgram has no process to end, so it records the exit codes asked for.
#pragma once
#include <vector>

namespace app {

std::vector<int> endRequests();
void clearEndRequests();

}  // namespace app
