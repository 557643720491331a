// Reception of an update: the image placed at /tmp/image is verified, its archive
// extracted and unpacked into /tmp/update.d/, and the to-do file read into the step list.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>

#include "core/update_paths.h"
#include "image/sha256.h"
#include "image/update_image.h"
#include "update/image_trust.h"

// What the reception took from an image it accepted: the software step writes no other image
// and checks the flash against its software's digest; the trust and security version are the
// verifying signature's.
struct AcceptedImage {
    ImageIdentity identity;
    Sha256Digest software{};
    ImageTrust trust = ImageTrust::None;
    std::uint32_t securityVersion = 0;
};

enum class StartOutcome {
    Refused,      // the image was refused (logged): the peer is to be told
    NotUnpacked,  // the update can't run (logged): its report isn't the daemon's, or the
                  // accepted image's archive couldn't be unpacked; the peer is told at its end
    Unpacked,     // the image was accepted and unpacked, and its to-do file read
};
// Receives the image and, once it is accepted, stores what it accepted in the update state.
// Unless Unpacked, the step list is empty and the update's result NOK. /tmp/image must be a
// regular file owned by root or by requester, the user that asked for the update.
StartOutcome startUpdate(uid_t requester);
// Fills update.stepList from a to-do file; 1, or -1 when it can't be opened.
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
