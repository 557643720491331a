// The parts of an update checked on the PC as the daemon will read them on the board, so
// that a mistake is found before the update is made. Each check gives the first fault it
// finds as a text, "line 3: ..." where a line is at fault, or nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace mkupdate {

// Lines of the .psr files are read at most 1023 bytes at a time.
inline constexpr std::size_t kMaxPsKeyFileLine = 1023;
// A keyword line of VERSION is read at most 1022 characters at a time.
inline constexpr std::size_t kMaxVersionLine = 1022;

// The module's PS-Key file as the PS-Key steps read it after their comment removal: every
// line ends in CR LF and is at most 1023 bytes long; each key line ("&" first) reads as a key
// line of at most 40 words; key ids ascend strictly.
std::optional<std::string> psKeyFileFault(std::string_view content);

// The service file by the rules of the SDP merge for a new service file.
std::optional<std::string> serviceFileFault(std::string_view content);

// A component's version as the version check reads it from VERSION (keyword, "=", the
// version, line feed): not empty, no line break or other control character, the line within
// the read limit. The firmware's version is "BUILD VERSION", a build of four characters as
// the installed firmware's value begins with, a blank and the version; when psKeys carries
// the key "&02a5" the version check takes the new build from, its build must be that one.
std::optional<std::string> versionFault(std::string_view keyword, std::string_view version,
                                        std::string_view psKeys);

// A LAP software image: its header and checksums as the daemon checks them, and a length
// below the image space of a flash of flashSize bytes (from 0x20000 up to the LAP
// configuration sector in the flash's last 64 KiB).
std::optional<std::string> lapImageFault(std::span<const std::uint8_t> image,
                                         std::uint64_t flashSize);

// The image space of a flash of flashSize bytes; 0 when there is none.
std::uint64_t lapImageSpace(std::uint64_t flashSize);

}  // namespace mkupdate
