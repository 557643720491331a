// A folder's listing (opendir, fdopendir) that closes itself: no return of a lister, early or
// not, leaves it open, as a daemon that runs for months can't spare the descriptors.
#pragma once

#include <dirent.h>

#include <memory>

struct DirStreamCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};
// Owning holder for a listing returned by opendir or fdopendir.
using DirStream = std::unique_ptr<DIR, DirStreamCloser>;
