// The command line of "mkupdate build": one option per part of an update, the files read in.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/mkupdate/update_build.h"

namespace mkupdate {

struct BuildRequest {
    UpdateDescription update;
    std::string output;
    std::string signingKey;  // --sign: the PEM file of the private key that signs the image
    std::optional<std::uint32_t> securityVersion;  // --security-version: the signature binds it
    std::optional<std::string> passin;             // --passin: the signing key's passphrase
    bool force = false;  // --force: sign a security version that pins the boards
    // The statement of the key set that --install-keys packs: its version and threshold, the
    // root keys that sign it here (PEM files) and the signatures made elsewhere (files).
    std::optional<std::uint32_t> keySetVersion;
    std::optional<std::uint32_t> threshold;
    std::vector<std::string> rootKeys;
    std::vector<std::string> rootSignatures;
    std::optional<std::string> boardKeys;  // --board-keys: the board's key set, for its verdict
};

// How a command line is refused: wrong usage, or a file that can't be read.
enum class RequestRefusal { Usage, Unreadable };

// The command line of "build" (argv[0] is "build"), read with getopt_long: "--opt VALUE",
// "--opt=VALUE", "-o FILE", "-oFILE". Nothing, with a message in error and the kind of
// refusal, for wrong usage (a part that no step of the list reads among it) or a part file
// that can't be read; the parts' contents are not checked here.
std::optional<BuildRequest> readBuildRequest(int argc, char** argv, std::string* error,
                                             RequestRefusal* refusal);

// Every file that the request reads, so that none of them is taken for the output.
std::vector<std::string> requestInputs(const BuildRequest& request);

// A value of --flash-size: bytes (decimal, or hexadecimal after 0x), or with K, M or G after
// the number KiB, MiB or GiB; a multiple of 64 KiB from 256 KiB to 4 GiB.
std::optional<std::uint64_t> flashSize(const std::string& value);
// Why value is no flash size.
std::string flashSizeRefusal(const std::string& value);

// The usage error of getopt_long's answer got ('?' an unknown option, ':' one without its
// value) while it reads a command's options (argv[0] is the command): the option as given,
// also within a group of short options.
std::string optionError(int got, char** argv, const std::string& command);

// A value of --security-version: a decimal number of 32 bits; why not, when it isn't one.
std::optional<std::uint32_t> securityVersion(const std::string& value);
std::string securityVersionRefusal(const std::string& value);

// Whether a signature of that security version pins every board that takes it for good: a
// board refuses every image of a lower one, and none is higher.
bool pinsBoards(std::optional<std::uint32_t> securityVersion);
inline constexpr const char* kPinningRefusal =
    "--security-version 4294967295 pins each board that takes the image for good: it refuses "
    "every image signed with a lower one; --force signs it anyway";

// A value of --keyset-version (1 to 4294967295) or --threshold (1 to 16); why not, when it
// isn't one.
std::optional<std::uint32_t> keySetVersion(const std::string& value);
std::optional<std::uint32_t> keySetThreshold(const std::string& value);
std::string keySetVersionRefusal(const std::string& value);
std::string keySetThresholdRefusal(const std::string& value);

// The files of a key set's folder (--install-keys), sorted by name; each checked later.
std::optional<std::vector<PartFile>> readKeyFolder(const std::string& folder, std::string* error);

// Reads a part's file, with its execute bit; false, with a message in error, when it can't.
bool readPart(const std::string& path, std::optional<PartFile>* part, std::string* error);

}  // namespace mkupdate
