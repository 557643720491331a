// Writes that must survive a power cut. On the board /etc lives on flash: what a write or a
// rename did is on it only once synced, and a cut before then may lose either. So a file is
// never changed in place: its new text goes to a new name, is synced, takes the old name by
// one rename, and the folder is synced so the rename itself is kept.
#pragma once

#include <cstddef>

// Makes a new file at path (O_CREAT|O_EXCL|O_NOFOLLOW, mode) holding exactly size bytes,
// synced before it is closed. False (errno set, not logged) when anything failed; a file it
// made stays for the caller to remove.
bool writeNewSyncedFile(const char* path, const void* bytes, std::size_t size, int mode);

// Syncs the folder at path, so that the names made, renamed or removed in it are kept. False
// (errno set, not logged) when it couldn't.
bool syncFolder(const char* path);

// Syncs the folder that holds path (the part before its last '/').
bool syncFolderOf(const char* path);

// Replaces the file at path as a whole by size bytes: written to path followed by ".new",
// synced, renamed over path, and path's folder synced. A cut at any moment leaves the old
// file or the new one at path, never a part of either. False (errno set, not logged; nothing
// left at the new name) when it couldn't.
bool replaceFileDurably(const char* path, const void* bytes, std::size_t size, int mode);
