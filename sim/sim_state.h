// Where the simulated board keeps the state of its devices: files under /sim/state in the
// board's file system, so that the daemon, the tests and a person at the board's shell all
// see the same flash contents, LED state and injected faults.
#pragma once

#include <string>

inline constexpr const char* kSimStateDir = "/sim/state";

inline std::string simStatePath(const char* name) { return std::string(kSimStateDir) + "/" + name; }
