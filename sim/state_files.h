// The state files of the simulated devices under /sim/state: one reader and writer for every
// device model, and the fault files that inject a device's failures.
//
// A fault file holds one fault word, optionally followed by a count N ("write 2"): the next N
// operations of that kind succeed and the file counts down ("write 1", "write 0"); the fault
// strikes once N is 0, and on every later operation of that kind. Without a count it strikes
// at once. What an operation of a kind is, each model says for its own faults.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

// The whole content of the state file, or nothing when it is missing or can't be read.
std::optional<std::string> readStateFile(const char* name);
// The same, with a missing file read as empty.
std::string stateFileText(const char* name);
// Replaces the state file's content, or appends to it; false when the file can't be written.
bool writeStateFile(const char* name, std::string_view content);
bool appendStateFile(const char* name, std::string_view content);
bool stateFileExists(const char* name);

// True when faultFile names the fault kind and it strikes now; a pending count is lowered
// instead (the operation succeeds).
bool faultStrikes(const char* faultFile, const char* kind);

// "hh:mm:ss.uuuuuu", UTC: the time stamp of the devices' logs, so that one tool can lay them
// side by side.
std::string timeOfDay(std::chrono::system_clock::time_point when);
