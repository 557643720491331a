// The SDP record check of step CHECK_SDP: merges the access point's service records with
// those an update brings, and rewrites the service lists of the terminal entries.
#pragma once

#include "image/service_records.h"

// Merges the new service file into the current one and rewrites "/etc/terminal.txt". Records
// whose key the new file still carries keep their text and place, the others are dropped,
// the new file's other records are added. 1 when the merge was installed; -1 (logged) when
// it was abandoned: nothing changes when a service file can't be opened, a file breaks the
// format or a limit, or the temporary files can't be written whole. /etc/terminal.txt is
// left alone when it can't be opened. Each file reaches /etc whole, terminal.txt first: copied
// to a new name there, synced and renamed over the old one, so that a power cut never leaves
// a part of one.
int checkSdpRecords(const char* currentPath, const char* newPath);

// Copies the input file to the output file with the replacement written just after the first
// occurrence of search (over what follows; first the text up to stop is removed when stop is
// not 0 and occurs after it). Nothing is written when the input can't be opened or doesn't
// fit the buffer; the content of the input ends at its first byte 0xFF.
void replaceStringInFile(const char* inputPath, const char* outputPath, const char* search,
                         const char* replacement, char stop);
