#include "tools/mkupdate/build_options.h"

#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "image/key_set_statement.h"
#include "tools/common/image_files.h"
#include "tools/mkupdate/key_set_making.h"

namespace mkupdate {
namespace {

constexpr std::uint64_t kFlashSectorSize = 0x10000;
// The flash holds the boot area below 0x20000 and the configuration sector at its end.
constexpr std::uint64_t kSmallestFlash = 0x40000;
constexpr std::uint64_t kLargestFlash = 0x100000000;

// Every option and where its value goes.
enum class Target {
    Output,
    Name,
    Note,
    Lap,
    LapPayload,
    LapName,
    File,
    Version,
    Steps,
    Flash,
    Sign,
    InstallKeys,
    SecurityVersion,
    Passin,
    Force,
    KeySetVersion,
    Threshold,
    RootKey,
    RootSignature,
    BoardKeys,
};
struct Option {
    const char* name;
    Target target;
    std::size_t index = 0;  // which file or version
};
// The one option without a value.
constexpr const char* kForceOption = "--force";

std::vector<Option> buildOptions() {
    std::vector<Option> options{{"-o", Target::Output},
                                {"--name", Target::Name},
                                {"--note", Target::Note},
                                {"--lap", Target::Lap},
                                {"--lap-payload", Target::LapPayload},
                                {"--lap-name", Target::LapName},
                                {"--steps", Target::Steps},
                                {"--flash-size", Target::Flash},
                                {"--sign", Target::Sign},
                                {"--install-keys", Target::InstallKeys},
                                {"--security-version", Target::SecurityVersion},
                                {"--passin", Target::Passin},
                                {kForceOption, Target::Force},
                                {"--keyset-version", Target::KeySetVersion},
                                {"--threshold", Target::Threshold},
                                {"--root-key", Target::RootKey},
                                {"--root-signature", Target::RootSignature},
                                {"--board-keys", Target::BoardKeys}};
    for (std::size_t kind = 0; kind < kUpdateFileKinds; ++kind)
        options.push_back({kUpdateFileRoles[kind].option, Target::File, kind});
    for (std::size_t i = 0; i < kVersionCount; ++i)
        options.push_back({kVersionOptions[i], Target::Version, i});
    return options;
}

}  // namespace

std::optional<std::uint64_t> flashSize(const std::string& value) {
    if (value.empty() || value[0] < '0' || value[0] > '9') return std::nullopt;
    char* end = nullptr;
    unsigned long long size = std::strtoull(value.c_str(), &end, 0);
    const std::string unit = end;
    int shift = unit == ""                   ? 0
                : unit == "K" || unit == "k" ? 10
                : unit == "M"                ? 20
                : unit == "G"                ? 30
                                             : -1;
    if (shift < 0 || end == value.c_str() || size > (kLargestFlash >> shift)) return std::nullopt;
    size <<= shift;
    if (size < kSmallestFlash || size % kFlashSectorSize != 0) return std::nullopt;
    return size;
}

std::string flashSizeRefusal(const std::string& value) {
    return "--flash-size takes the flash's size in bytes (or KiB, MiB, GiB with K, M, G), a "
           "multiple of 64K from 256K on, not \"" +
           value + "\"";
}

std::string optionError(int got, char** argv, const std::string& command) {
    // A short option within a group ("-Zq") leaves optind on its group: optopt names it.
    std::string option = optopt > ' ' && optopt < 0x7F
                             ? std::string("-") + static_cast<char>(optopt)
                             : std::string(argv[optind - 1]);
    if (got == ':') return option.substr(0, option.find('=')) + " needs a value";
    return "unknown option " + option + " for " + command;
}

namespace {

// What the command line has given so far.
struct BuildParsing {
    BuildRequest request;
    // The paths of the part files, read once the whole command line is known to be right.
    std::vector<std::pair<std::string, std::optional<PartFile>*>> paths;
    std::vector<std::string> given;
    std::optional<std::string> keyFolder;
    bool named = false;
};

// A part given by its path: there already for the checks of the command line, read later.
void givePart(const std::string& path, std::optional<PartFile>* part, BuildParsing* parsing) {
    *part = PartFile{path, {}, false};
    parsing->paths.emplace_back(path, part);
}

void addSteps(const std::string& value, std::optional<std::vector<std::string>>* steps) {
    if (!*steps) steps->emplace();
    for (std::size_t start = 0; start <= value.size();) {
        std::size_t comma = std::min(value.find(',', start), value.size());
        if (comma > start) (*steps)->push_back(value.substr(start, comma - start));
        start = comma + 1;
    }
}

// An option of the update's description into parsing; false, with the reason in error, for a
// value it can't take.
bool takeUpdateOption(const Option& option, const std::string& value, BuildParsing* parsing,
                      std::string* error) {
    UpdateDescription& update = parsing->request.update;
    switch (option.target) {
        case Target::Name:
            update.name = value;
            break;
        case Target::LapName:
            update.lapName = value;
            parsing->named = true;
            break;
        case Target::Note:
            givePart(value, &update.note, parsing);
            break;
        case Target::Lap:
            givePart(value, &update.lapImage, parsing);
            break;
        case Target::LapPayload:
            givePart(value, &update.lapPayload, parsing);
            break;
        case Target::File:
            givePart(value, &update.files[option.index], parsing);
            break;
        case Target::Version:
            update.versions[option.index] = value;
            break;
        case Target::Steps:
            addSteps(value, &update.steps);
            break;
        case Target::Flash:
            if (auto size = flashSize(value)) {
                update.flashSize = *size;
                break;
            }
            *error = flashSizeRefusal(value);
            return false;
        default:  // the build's own options, taken by takeOption
            break;
    }
    return true;
}

// One option's value into parsing; false, with the reason in error, for a value it can't take.
bool takeOption(const Option& option, const std::string& value, BuildParsing* parsing,
                std::string* error) {
    BuildRequest& request = parsing->request;
    switch (option.target) {
        case Target::Output:
            request.output = value;
            break;
        case Target::Sign:
            request.signingKey = value;
            break;
        case Target::InstallKeys:
            parsing->keyFolder = value;
            request.update.installKeys.emplace();  // its files are read later
            break;
        case Target::Force:
            request.force = true;
            break;
        case Target::Passin:
            request.passin = value;
            break;
        case Target::SecurityVersion:
            request.securityVersion = securityVersion(value);
            if (!request.securityVersion) *error = securityVersionRefusal(value);
            return request.securityVersion.has_value();
        case Target::KeySetVersion:
            request.keySetVersion = keySetVersion(value);
            if (!request.keySetVersion) *error = keySetVersionRefusal(value);
            return request.keySetVersion.has_value();
        case Target::Threshold:
            request.threshold = keySetThreshold(value);
            if (!request.threshold) *error = keySetThresholdRefusal(value);
            return request.threshold.has_value();
        case Target::RootKey:
            request.rootKeys.push_back(value);
            break;
        case Target::RootSignature:
            request.rootSignatures.push_back(value);
            break;
        case Target::BoardKeys:
            request.boardKeys = value;
            break;
        default:
            return takeUpdateOption(option, value, parsing, error);
    }
    return true;
}

// Why the options given make no build request, or "" when they do.
std::string requestRefusal(const BuildParsing& parsing) {
    const BuildRequest& request = parsing.request;
    if (request.output.empty()) return "build needs -o OUT";
    const std::vector<std::string>& given = parsing.given;
    bool payload = std::find(given.begin(), given.end(), "--lap-payload") != given.end();
    if (payload != parsing.named)
        return payload ? "--lap-payload needs --lap-name NAME"
                       : "--lap-name goes with --lap-payload";
    if (request.passin && request.signingKey.empty() && request.rootKeys.empty())
        return "--passin goes with --sign or --root-key";
    // A statement is made only for the set that the update installs.
    const bool keys = request.update.installKeys.has_value();
    if (request.keySetVersion && !keys) return "--keyset-version goes with --install-keys";
    if (request.boardKeys && !keys) return "--board-keys goes with --install-keys";
    if (!request.keySetVersion) {
        if (request.threshold) return "--threshold goes with --keyset-version";
        if (!request.rootKeys.empty()) return "--root-key goes with --keyset-version";
        if (!request.rootSignatures.empty()) return "--root-signature goes with --keyset-version";
    }
    if (request.securityVersion && request.signingKey.empty())
        return "--security-version goes with --sign: only a signature binds it";
    if (pinsBoards(request.securityVersion) && !request.force) return kPinningRefusal;
    // A part that no step reads is a mistake in the command line, found before any file is
    // read: refused rather than its step added, as where that step belongs in the to-do list
    // (and whether the part belongs in this update at all) is the maker's to say.
    return unreadPartRefusal(request.update).value_or("");
}

}  // namespace

std::optional<BuildRequest> readBuildRequest(int argc, char** argv, std::string* error,
                                             RequestRefusal* refusal) {
    *refusal = RequestRefusal::Usage;
    const std::vector<Option> options = buildOptions();
    std::vector<option> longOptions;
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (options[i].name[1] == '-')
            longOptions.push_back(
                {options[i].name + 2,
                 options[i].target == Target::Force ? no_argument : required_argument, nullptr,
                 static_cast<int>(256 + i)});
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    BuildParsing parsing;
    opterr = 0;
    optind = 1;
    for (int got; (got = getopt_long(argc, argv, ":o:", longOptions.data(), nullptr)) != -1;) {
        if (got == '?' || got == ':') {
            *error = optionError(got, argv, "build");
            return std::nullopt;
        }
        const Option* option = got == 'o' ? &options.front() : &options[got - 256];
        const std::string arg = option->name;
        const bool repeatable = option->target == Target::Steps ||
                                option->target == Target::RootKey ||
                                option->target == Target::RootSignature;
        if (!repeatable &&
            std::find(parsing.given.begin(), parsing.given.end(), arg) != parsing.given.end()) {
            *error = arg + " given twice";
            return std::nullopt;
        }
        parsing.given.push_back(arg);
        if (!takeOption(*option, optarg != nullptr ? optarg : "", &parsing, error))
            return std::nullopt;
    }
    if (optind < argc) {
        *error = std::string("build takes each part with its option, not ") + argv[optind];
        return std::nullopt;
    }
    *error = requestRefusal(parsing);
    if (!error->empty()) return std::nullopt;
    *refusal = RequestRefusal::Unreadable;
    for (auto& [path, part] : parsing.paths) {
        if (!readPart(path, part, error)) return std::nullopt;
    }
    if (parsing.keyFolder) {
        auto keys = readKeyFolder(*parsing.keyFolder, error);
        if (!keys) return std::nullopt;
        // A statement in the folder is the last set's: the new one is written from the keys.
        std::erase_if(*keys,
                      [](const PartFile& key) { return isKeySetStatementFile(keyFileName(key)); });
        parsing.request.update.installKeys = std::move(*keys);
    }
    return std::move(parsing.request);
}

std::vector<std::string> requestInputs(const BuildRequest& request) {
    std::vector<std::string> inputs;
    const UpdateDescription& update = request.update;
    for (const auto* part : {&update.note, &update.lapImage, &update.lapPayload})
        if (*part) inputs.push_back((*part)->path);
    for (const auto& file : update.files)
        if (file) inputs.push_back(file->path);
    if (update.installKeys)
        for (const PartFile& key : *update.installKeys) inputs.push_back(key.path);
    inputs.insert(inputs.end(), request.rootKeys.begin(), request.rootKeys.end());
    inputs.insert(inputs.end(), request.rootSignatures.begin(), request.rootSignatures.end());
    return inputs;
}

std::optional<std::uint32_t> keySetVersion(const std::string& value) {
    auto version = securityVersion(value);
    if (!version || *version == 0 || value[0] == '0') return std::nullopt;
    return version;
}

std::optional<std::uint32_t> keySetThreshold(const std::string& value) {
    auto threshold = securityVersion(value);
    if (!threshold || *threshold == 0 || *threshold > kMaxKeySetKeys || value[0] == '0')
        return std::nullopt;
    return threshold;
}

std::string keySetVersionRefusal(const std::string& value) {
    return "--keyset-version takes a number from 1 to 4294967295, not \"" + value + "\"";
}

std::string keySetThresholdRefusal(const std::string& value) {
    return "--threshold takes a number from 1 to " + std::to_string(kMaxKeySetKeys) + ", not \"" +
           value + "\"";
}

std::optional<std::uint32_t> securityVersion(const std::string& value) {
    if (value.empty() || value.size() > 10 || value.find_first_not_of("0123456789") != value.npos)
        return std::nullopt;
    unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
    if (number > UINT32_MAX) return std::nullopt;
    return static_cast<std::uint32_t>(number);
}

std::string securityVersionRefusal(const std::string& value) {
    return "--security-version takes a number from 0 to 4294967295, not \"" + value + "\"";
}

bool pinsBoards(std::optional<std::uint32_t> securityVersion) {
    return securityVersion == UINT32_MAX;
}

std::optional<std::vector<PartFile>> readKeyFolder(const std::string& folder, std::string* error) {
    std::error_code failed;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator entry(folder, failed), end; !failed && entry != end;
         entry.increment(failed))
        names.push_back(entry->path().filename().string());
    if (failed) {
        *error = "can't read key folder " + folder + ": " + failed.message();
        return std::nullopt;
    }
    std::sort(names.begin(), names.end());
    std::vector<PartFile> keys;
    for (const std::string& name : names) {
        std::optional<PartFile> key;
        if (!readPart(folder + "/" + name, &key, error)) return std::nullopt;
        keys.push_back(std::move(*key));
    }
    return keys;
}

bool readPart(const std::string& path, std::optional<PartFile>* part, std::string* error) {
    PartFile file{path, {}, false};
    if (!readWholeFile(path, &file.content, error)) return false;
    struct stat info {};
    file.executable = stat(path.c_str(), &info) == 0 && (info.st_mode & 0111) != 0;
    *part = std::move(file);
    return true;
}

}  // namespace mkupdate
