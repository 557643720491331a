// Every command that the daemon hands to the platform's shell. The unpacking and file
// commands carry a blank and a hyphen before the command name: the board's shell provides
// them under those names. No result of a command is examined.
#pragma once

// Runs text through the platform's shell ("/bin/sh -c") and waits for its end, as system()
// does; the command and its children start with the signal mask the daemon was started with.
// The signals that came meanwhile take effect when the command has ended. Returns the
// command's wait status, or -1 when it couldn't be started.
int runShellCommand(const char* text);

void shellGunzip(const char* path);                           // " -gunzip %s"
void shellTarExtract(const char* path);                       // " -tar xf %s"
void shellRemove(const char* path);                           // " -rm %s"
void shellCopy(const char* from, const char* to);             // " -cp %s %s"
void shellCat(const char* path);                              // "cat " + path
void shellInsmod(const char* directory, const char* module);  // "/bin/insmod %s<module>"
