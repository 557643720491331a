// The daemon's work files at fixed names directly in /tmp, which every local user may create
// names in. /tmp is sticky: a file that root made there can be removed, renamed or written by
// no other user, so a name is safe to use once the daemon itself has made what stands at it.
// Every such name is therefore cleared and made with O_EXCL by the daemon, and whatever is
// found at one later is used only when it is the daemon's own (see isOwnFile).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string_view>

// Whether path names a file directly in /tmp, a name that anybody may have made.
constexpr bool isSharedTmpName(std::string_view path) {
    constexpr std::string_view tmp = "/tmp/";
    return path.size() > tmp.size() && path.starts_with(tmp) &&
           path.find('/', tmp.size()) == path.npos;
}

// The mode a work file is made with: readable by all where others read it (the report, the
// module's PS-Key dump, the DFU program's logs), the daemon's alone otherwise.
mode_t workFileMode(const char* path);

// A regular file of the daemon's user, with one name, that no group or other user may write:
// no one but the daemon (and root) can have made or changed it.
bool isOwnFile(const struct stat& info);

// Removes whatever stands at path: a file, a link as a link (never followed), a folder with
// everything in it (walked by descriptors, so that a folder swapped for a link meanwhile is
// never entered). True when nothing stands there any more; otherwise false, logged in the
// name of function with the path.
bool removeWhateverStands(const char* function, const char* path);

// Removes whatever stands at path and makes an empty file there (O_CREAT|O_EXCL|O_NOFOLLOW)
// with exactly mode. Its descriptor, open for reading and writing, or -1 (logged in the name
// of function with the path) when the name couldn't be cleared or something stood there again.
int makeFreshFile(const char* function, const char* path, mode_t mode);

// Opens the file at path with flags (O_RDONLY, O_WRONLY, O_RDWR, O_APPEND; never O_CREAT or
// O_TRUNC) without following a link, and only when it is the daemon's own. -1 with errno
// ENOENT when nothing is there (not logged), otherwise -1 logged in the name of function with
// the path: a link, another user's file, a folder (not logged with function nullptr).
int openOwnFile(const char* function, const char* path, int flags);

// What openOwnFile does for appending, creating the file (O_EXCL, workFileMode) when nothing
// stands at path: the first append of a work file makes it.
int openOwnFileForAppend(const char* function, const char* path);

// Whether what stands at path is a file of the daemon's own; false (not logged) when nothing
// or anything else is there.
bool ownFileAt(const char* path);

// Makes the tree under folder (a folder of the daemon's own that no one else can reach) the
// daemon's: every file and folder gets the daemon's user and group and loses the write bits of
// group and others, and its set-uid, set-gid and sticky bits: a set-uid member made the
// daemon's would be a program that any local user could run as root. A link, a device, a pipe or
// socket, or a file with more than one name anywhere in it refuses the tree: false, logged in the
// name of function with the member's name (shownAs followed by its path below folder).
bool takeOverTree(const char* function, const char* folder, const char* shownAs);
