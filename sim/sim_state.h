// Where the simulated board keeps the state of its devices: files under /sim/state in the
// board's file system, so that the daemon, the tests and a person at the board's shell all
// see the same flash contents, LED state and injected faults.
#pragma once

#include <string>

inline constexpr const char* kSimStateDir = "/sim/state";

// (Appended in place: GCC 12 at -O1 takes the temporaries of "a + b + c" here for a copy out
// of bounds, a false warning that stops an optimised build of the tests.)
inline std::string simStatePath(const char* name) {
    std::string path = kSimStateDir;
    path += '/';
    path += name;
    return path;
}
