// Reception of an update: the image placed at /tmp/image is verified, its archive
// extracted and unpacked into /tmp/update.d/, and the to-do file read into the step list.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>

#include "core/update_paths.h"
#include "image/sha256.h"

// 1 when the image was accepted and unpacked, -1 when it was refused (then the peer gets the
// reply "OK" with parameter 1) or its archive couldn't be unpacked (no reply); after -1 the
// step list is empty and the update's result NOK. /tmp/image must be a regular file owned by
// root or by requester, the user that asked for the update.
int startUpdate(uid_t requester);
// Fills stepList from a to-do file; 1, or -1 when it can't be opened.
int readStepList(const char* path);

enum class ArchiveWrite {
    Written,
    NotWritten,  // the file couldn't be made or written (logged)
    Changed,     // what the file holds doesn't match the digest (the image changed meanwhile)
};
// Writes bytes, the update's compressed archive, into a file made afresh at path (0600, by the
// daemon alone), and reads the file back against digest, the archive's signed one. No file is
// left unless Written.
ArchiveWrite writeArchive(std::span<const std::uint8_t> bytes, const Sha256Digest& digest,
                          const char* path);
