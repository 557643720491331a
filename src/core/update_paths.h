// The update's folder, into which the reception unpacks an image, and the files in it that the
// steps read: every step and tool that names one of them takes it from here.
#pragma once

#include <string_view>

inline constexpr char kUpdateFolder[] = "/tmp/update.d";

inline constexpr char kTodoPath[] = "/tmp/update.d/updatetodo.txt";
inline constexpr char kUpdateVersionsPath[] = "/tmp/update.d/VERSION";
inline constexpr char kPsKeyUpdatePath[] = "/tmp/update.d/pskeyorig.psr";
inline constexpr char kDfuProgramPath[] = "/tmp/update.d/dfu";
inline constexpr char kFirmwarePath[] = "/tmp/update.d/stack.dfu";
inline constexpr char kNewServicePath[] = "/tmp/update.d/service.txt";

// Work files directly in /tmp that others read besides the daemon: the module's PS-Keys as the
// reading step found them, and the DFU program's progress and error logs.
inline constexpr char kPsKeyDumpPath[] = "/tmp/pskeydump.psr";
inline constexpr char kDfuStatusPath[] = "/tmp/dfu_status.log";
inline constexpr char kDfuErrorPath[] = "/tmp/dfu_error.log";
// The daemon's own record of the DFU program's process group while it runs: a daemon started
// again after a crash stops what the crashed one left running.
inline constexpr char kDfuGroupPath[] = "/tmp/dfu_group.run";

// Whether path names a file right in the update's folder.
constexpr bool inUpdateFolder(std::string_view path) {
    constexpr std::string_view folder = kUpdateFolder;
    return path.size() > folder.size() + 1 && path.starts_with(folder) &&
           path[folder.size()] == '/' && path.find('/', folder.size() + 1) == path.npos;
}
static_assert(inUpdateFolder(kTodoPath) && inUpdateFolder(kUpdateVersionsPath) &&
              inUpdateFolder(kPsKeyUpdatePath) && inUpdateFolder(kDfuProgramPath) &&
              inUpdateFolder(kFirmwarePath) && inUpdateFolder(kNewServicePath));
