// Reception of an update: the image placed at /tmp/image is verified, its archive
// extracted and unpacked into /tmp/update.d/, and the to-do file read into the step list.
#pragma once

#include <sys/types.h>

#include "core/update_paths.h"

// 1 when the image was accepted and unpacked, -1 when it was refused (then the peer gets the
// reply "OK" with parameter 1) or its archive couldn't be unpacked (no reply); after -1 the
// step list is empty and the update's result NOK. /tmp/image must be a regular file owned by
// root or by requester, the user that asked for the update.
int startUpdate(uid_t requester);
// Fills stepList from a to-do file; 1, or -1 when it can't be opened.
int readStepList(const char* path);
