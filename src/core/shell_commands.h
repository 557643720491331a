// Every command that the daemon hands to the platform's shell. The unpacking and file
// commands carry a blank and a hyphen before the command name: the board's shell provides
// them under those names.
#pragma once

// Runs text through the platform's shell ("/bin/sh -c") and waits for its end, as system()
// does; the command and its children start with the signal mask the daemon was started with.
// The signals that came meanwhile take effect when the command has ended. Returns the
// command's wait status, or -1 when it couldn't be started.
int runShellCommand(const char* text);

// Each returns the command's wait status, or -1 when it couldn't be started or didn't fit its
// buffer (logged). Most callers need only the command's effect and ignore it.
int shellGunzip(const char* path);                        // " -gunzip %s"
int shellTarExtract(const char* path);                    // " -tar xf %s"
int shellRemove(const char* path);                        // " -rm %s"
int shellCopy(const char* from, const char* to);          // " -cp %s %s"
int shellCat(const char* path);                           // "cat " + path
int shellInsmod(const char* folder, const char* module);  // "/bin/insmod <folder>/<module>"

// For a caller whose work can't go on without the command's effect: true when status, the
// result of the helper called last, says that its command exited with status 0. Otherwise
// logs in the name of function the command's text and how it ended ("exit status 2",
// "signal 9", "not run"), and returns false.
bool commandSucceeded(const char* function, int status);
