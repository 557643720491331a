#include "tools/mkupdate/update_build.h"

#include <algorithm>
#include <string_view>

#include "image/image_header.h"
#include "image/image_signature.h"
#include "tools/common/gzip_writer.h"
#include "tools/mkupdate/key_set_making.h"
#include "tools/mkupdate/part_checks.h"
#include "tools/mkupdate/update_archive.h"
#include "update/board_keys.h"
#include "update/step_table.h"

namespace mkupdate {
namespace {

constexpr const char* kTodoMember = "updatetodo.txt";
constexpr const char* kVersionMember = "VERSION";
constexpr const char* kTodoHeading = "# the steps of this update, in running order\n";
constexpr std::string_view kDefaultNote = "BT-LAP update made by mkupdate build\n";
constexpr char kVersionSeparator = '=';

bool hasFirmware(const UpdateDescription& update) {
    return std::any_of(kFirmwareFiles.begin(), kFirmwareFiles.end(),
                       [&](UpdateFileKind kind) { return update.files[kind].has_value(); });
}

bool hasVersion(const UpdateDescription& update) {
    return std::any_of(update.versions.begin(), update.versions.end(),
                       [](const auto& version) { return version.has_value(); });
}

bool hasLap(const UpdateDescription& update) { return update.lapImage || update.lapPayload; }

const UpdateStep* findStep(std::string_view keyword) {
    for (const UpdateStep& step : stepTable) {
        if (step.keyword != nullptr && keyword == step.keyword) return &step;
    }
    return nullptr;
}

// What a step needs from the update that it lacks, as the options that give it; "" when
// nothing is missing.
std::string missingParts(std::int32_t step, const UpdateDescription& update) {
    std::string missing;
    auto need = [&](UpdateFileKind kind) {
        if (update.files[kind]) return;
        missing +=
            (missing.empty() ? "" : ", ") +
            (update.fromImage ? std::string(kUpdateFolderName) + "/" + kUpdateFileRoles[kind].member
                              : std::string(kUpdateFileRoles[kind].option));
    };
    switch (step) {
        case STEP_CHECK_VERSIONS:
            if (hasVersion(update)) break;
            return update.fromImage
                       ? "a version in update.d/VERSION"
                       : "a version (--firmware-version, --pskeys-version or --lap-version)";
        case STEP_BT_MOD_SET_COMP:
        case STEP_BT_MOD_SET_ALL_WRITE:
            need(FILE_PSKEYS);
            break;
        case STEP_BT_MOD_SET_FIRM_STACK:
            for (UpdateFileKind kind : kFirmwareFiles) need(kind);
            break;
        case STEP_LAP_SOFTWARE:
            if (!hasLap(update))
                return update.fromImage ? "the LAP software image as the image's last file"
                                        : "--lap or --lap-payload";
            break;
        case STEP_CHECK_SDP:
            need(FILE_SERVICES);
            break;
        case STEP_UPDATE_KEYS:
            if (!update.installKeys)
                return update.fromImage ? "a key set in update.d/update-keys/"
                                        : "a key set (--install-keys DIR)";
            break;
        default:
            break;
    }
    return missing;
}

// The LAP software image to carry: the one given, or the payload wrapped; nothing, with a
// fault, when the name doesn't fit the header.
std::optional<Bytes> lapImage(const UpdateDescription& update, std::string* fault) {
    if (update.lapImage) return update.lapImage->content;
    std::string error;
    auto image = wrapImage(update.lapPayload->content, update.lapName, 0, &error);
    if (!image) *fault = "--lap-name: " + error;
    return image;
}

void checkLap(const UpdateDescription& update, std::vector<std::string>& faults) {
    if (update.lapImage && update.lapPayload) {
        faults.push_back("--lap and --lap-payload: give the LAP software image one way");
        return;
    }
    if (!hasLap(update)) return;
    std::string fault;
    std::optional<Bytes> image = lapImage(update, &fault);
    if (!image) {
        faults.push_back(fault);
        return;
    }
    const PartFile& given = update.lapImage ? *update.lapImage : *update.lapPayload;
    if (auto lapFault = lapImageFault(*image, update.flashSize))
        faults.push_back(given.path + ": " + *lapFault);
}

// The step's prerequisite when the steps before it lack it; nothing otherwise.
const StepPrerequisite* missingPrerequisite(std::int32_t step,
                                            const std::vector<std::int32_t>& before) {
    for (const StepPrerequisite& prerequisite : kStepPrerequisites) {
        if (prerequisite.step == step &&
            std::find(before.begin(), before.end(), prerequisite.earlier) == before.end())
            return &prerequisite;
    }
    return nullptr;
}

const char* stepKeyword(std::int32_t id) {
    for (const UpdateStep& step : stepTable)
        if (step.id == id) return step.keyword;
    return "";
}

// The DFU program loads the firmware version that a text firmware file names on its line
// "firmware VERSION", and refuses a file that names none. A binary firmware file is the
// module maker's format, not judged here.
bool namesFirmwareVersion(const Bytes& firmware) {
    if (std::find(firmware.begin(), firmware.end(), 0) != firmware.end()) return true;
    std::string_view content(reinterpret_cast<const char*>(firmware.data()), firmware.size());
    constexpr std::string_view kVersionLine = "firmware ";
    for (std::size_t at = 0; at < content.size();) {
        std::size_t end = std::min(content.find('\n', at), content.size());
        std::string_view line = content.substr(at, end - at);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.starts_with(kVersionLine) && line.size() > kVersionLine.size()) return true;
        at = end + 1;
    }
    return false;
}

void checkSteps(const UpdateDescription& update, std::vector<std::string>& faults) {
    std::vector<std::string> steps = updateSteps(update);
    if (steps.empty()) {
        faults.push_back(update.fromImage ? "update.d/updatetodo.txt selects no step"
                                          : "the update has no steps: give its parts or --steps");
    }
    if (steps.size() > kMaxListedSteps) {
        faults.push_back("--steps: " + std::to_string(steps.size()) +
                         " steps; the to-do list holds at most " + std::to_string(kMaxListedSteps));
    }
    std::vector<std::int32_t> checked;
    std::vector<std::int32_t> repeated;
    for (const std::string& keyword : steps) {
        const UpdateStep* step = findStep(keyword);
        if (step == nullptr) {
            faults.push_back("--steps: unknown step \"" + keyword + "\"");
            continue;
        }
        if (std::find(checked.begin(), checked.end(), step->id) != checked.end()) {
            // Once for each step: the files a step works on go with its first run.
            if (std::find(repeated.begin(), repeated.end(), step->id) == repeated.end()) {
                faults.push_back("step " + keyword +
                                 " is listed more than once; a to-do list names each step once");
                repeated.push_back(step->id);
            }
            continue;
        }
        if (const StepPrerequisite* lacking = missingPrerequisite(step->id, checked)) {
            faults.push_back("step " + keyword + " " + lacking->without + " (no " +
                             stepKeyword(lacking->earlier) + " before it)");
        }
        checked.push_back(step->id);
        std::string missing = missingParts(step->id, update);
        if (!missing.empty()) faults.push_back("step " + keyword + " needs " + missing);
        const std::optional<PartFile>& firmware = update.files[FILE_STACK];
        if (step->id == STEP_BT_MOD_SET_FIRM_STACK && firmware &&
            !namesFirmwareVersion(firmware->content)) {
            faults.push_back("step " + keyword + " fails: " + firmware->path +
                             " names no firmware version (no line \"firmware VERSION\"), and "
                             "the DFU program refuses it");
        }
    }
}

std::string_view text(const Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// The key set is installed only whole, with a key at least: every file a key file that the
// daemon reads, no more than it takes; a set with root keys with the statement that its
// roots signed, as every board requires.
void checkKeySet(const UpdateDescription& update, std::vector<std::string>& faults) {
    if (!update.installKeys) return;
    const std::vector<PartFile>& keys = *update.installKeys;
    const std::string where = update.fromImage ? "update.d/update-keys" : "--install-keys";
    if (keys.empty())
        faults.push_back(where + ": no key file (*.key); the board would keep its keys");
    if (keys.size() > static_cast<std::size_t>(kMaxUpdateKeys))
        faults.push_back(where + ": " + std::to_string(keys.size()) +
                         " keys; a board takes at most " + std::to_string(kMaxUpdateKeys));
    KeySetFiles set;
    for (const PartFile& key : keys) {
        auto read = readSetKey(keyFileName(key), key.content);
        if (!isKeyFileName(keyFileName(key)))
            faults.push_back(key.path + ": not named *.key; a board installs only key files");
        else if (!read)
            faults.push_back(key.path + ": not a key file the board reads");
        else
            set.keys.push_back(std::move(*read));
    }
    if (set.keys.size() != keys.size()) return;
    if (update.keySetStatement) set.statement = std::string(text(update.keySetStatement->content));
    if (update.keySetSignatures)
        set.signatures = std::string(text(update.keySetSignatures->content));
    std::vector<std::string> setFaults = readKeySet(set, where).faults;
    faults.insert(faults.end(), setFaults.begin(), setFaults.end());
}

// "A", "A or B", "A, B or C".
std::string alternatives(const std::vector<std::string>& words) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    return text;
}

// The options that gave part, as the command line names it.
std::string partOptions(const UpdateDescription& update, UpdatePart part) {
    std::vector<std::string> options;
    auto file = [&](UpdateFileKind kind) {
        if (update.files[kind]) options.push_back(kUpdateFileRoles[kind].option);
    };
    switch (part) {
        case PART_LAP:
            if (update.lapImage) options.push_back("--lap");
            if (update.lapPayload) options.push_back("--lap-payload");
            break;
        case PART_PSKEYS:
            file(FILE_PSKEYS);
            break;
        case PART_FIRMWARE:
            for (UpdateFileKind kind : kFirmwareFiles) file(kind);
            break;
        case PART_SERVICES:
            file(FILE_SERVICES);
            break;
        case PART_VERSIONS:
            for (std::size_t i = 0; i < kVersionCount; ++i)
                if (update.versions[i]) options.push_back(kVersionOptions[i]);
            break;
        case PART_KEYS:
            options.push_back("--install-keys");
            break;
        case kUpdateParts:
            break;
    }
    std::string text;
    for (const std::string& option : options) text += (text.empty() ? "" : ", ") + option;
    return text;
}

}  // namespace

std::array<bool, kUpdateParts> carriedParts(const UpdateDescription& update) {
    std::array<bool, kUpdateParts> carried{};
    carried[PART_LAP] = hasLap(update);
    carried[PART_PSKEYS] = update.files[FILE_PSKEYS].has_value();
    carried[PART_FIRMWARE] = hasFirmware(update);
    carried[PART_SERVICES] = update.files[FILE_SERVICES].has_value();
    carried[PART_VERSIONS] = hasVersion(update);
    carried[PART_KEYS] = update.installKeys.has_value();
    return carried;
}

std::vector<UpdatePart> unreadParts(const std::array<bool, kUpdateParts>& carried,
                                    const std::vector<std::string>& steps) {
    std::vector<UpdatePart> unread;
    for (std::size_t part = 0; part < kUpdateParts; ++part) {
        if (!carried[part]) continue;
        bool read = false;
        for (std::int32_t step : kPartReaders[part].steps) {
            if (step != STEP_NONE &&
                std::find(steps.begin(), steps.end(), stepKeyword(step)) != steps.end())
                read = true;
        }
        if (!read) unread.push_back(static_cast<UpdatePart>(part));
    }
    return unread;
}

std::string unreadPartText(UpdatePart part, const std::string& list) {
    std::vector<std::string> readers;
    for (std::int32_t step : kPartReaders[part].steps)
        if (step != STEP_NONE) readers.push_back(stepKeyword(step));
    return std::string(kPartReaders[part].unread) + ", as " + list + " names no " +
           alternatives(readers);
}

std::optional<std::string> unreadPartRefusal(const UpdateDescription& update) {
    std::vector<UpdatePart> unread = unreadParts(carriedParts(update), updateSteps(update));
    if (unread.empty()) return std::nullopt;
    UpdatePart part = unread.front();
    if (update.steps) return partOptions(update, part) + ": " + unreadPartText(part, "--steps");
    // Only the versions go without their step in the default list.
    return partOptions(update, part) + ": " + kPartReaders[part].unread +
           ", as the default steps hold CHECK_VERSIONS only with the module's firmware or "
           "PS-Keys: give --steps with it, or leave the version out";
}

std::string keyFileName(const PartFile& key) {
    return key.path.substr(key.path.find_last_of('/') + 1);
}

std::vector<std::string> updateSteps(const UpdateDescription& update) {
    if (update.steps) return *update.steps;
    std::vector<std::string> steps;
    auto add = [&steps](std::int32_t id) { steps.push_back(stepKeyword(id)); };
    bool firmware = hasFirmware(update);
    bool psKeys = update.files[FILE_PSKEYS].has_value();
    // The version check reads the module's versions from the PS-Key file: in an update without
    // the module's parts its report would show that file missing.
    if (hasVersion(update) && (firmware || psKeys)) add(STEP_CHECK_VERSIONS);
    if (firmware) {
        // The write of all keys keeps the link that the firmware step leaves open over BCSP.
        add(STEP_BT_MOD_SET_FIRM_STACK);
        if (psKeys) add(STEP_BT_MOD_SET_ALL_WRITE);
    } else if (psKeys) {
        for (std::int32_t id :
             {STEP_BT_MOD_SET_READ, STEP_BT_MOD_SET_COMP, STEP_BT_MOD_SET_NEW_WRITE})
            add(id);
    }
    if (hasLap(update)) add(STEP_LAP_SOFTWARE);
    if (update.files[FILE_SERVICES]) add(STEP_CHECK_SDP);
    if (firmware) add(STEP_REMOVE_DFU_UPLOAD);
    if (update.installKeys) add(STEP_UPDATE_KEYS);
    return steps;
}

std::vector<std::string> checkUpdate(const UpdateDescription& update) {
    std::vector<std::string> faults;
    if (update.name.size() > kImageNameSize) {
        faults.push_back("--name: image name of " + std::to_string(update.name.size()) +
                         " bytes is longer than " + std::to_string(kImageNameSize) + " bytes");
    }
    if (update.note && update.note->content.empty())
        faults.push_back(update.note->path + ": file 0 can't be empty");
    checkLap(update, faults);
    const std::optional<PartFile>& psKeys = update.files[FILE_PSKEYS];
    if (psKeys) {
        if (auto fault = psKeyFileFault(text(psKeys->content)))
            faults.push_back(psKeys->path + ": " + *fault);
    }
    if (const auto& services = update.files[FILE_SERVICES]) {
        if (auto fault = serviceFileFault(text(services->content)))
            faults.push_back(services->path + ": " + *fault);
    }
    if (const auto& dfu = update.files[FILE_DFU]; dfu && !dfu->executable)
        faults.push_back(dfu->path + ": the DFU program is not executable");
    for (std::size_t i = 0; i < kVersionCount; ++i) {
        if (!update.versions[i]) continue;
        auto fault = versionFault(kInitialComponentTable[i].keyword, *update.versions[i],
                                  psKeys ? text(psKeys->content) : "");
        if (fault) {
            faults.push_back((update.fromImage ? std::string("update.d/VERSION: ") +
                                                     kInitialComponentTable[i].keyword
                                               : std::string(kVersionOptions[i])) +
                             ": " + *fault);
        }
    }
    checkKeySet(update, faults);
    checkSteps(update, faults);
    return faults;
}

std::string todoFileText(const UpdateDescription& update) {
    std::string todo = kTodoHeading;
    for (const std::string& step : updateSteps(update)) todo += step + "\n";
    return todo;
}

std::string versionFileText(const UpdateDescription& update) {
    std::string versions;
    for (std::size_t i = 0; i < kVersionCount; ++i) {
        if (!update.versions[i]) continue;
        versions += std::string(kInitialComponentTable[i].keyword) + kVersionSeparator +
                    *update.versions[i] + "\n";
    }
    return versions;
}

std::optional<Bytes> buildUpdate(const UpdateDescription& update,
                                 std::vector<std::string>* faults) {
    *faults = checkUpdate(update);
    if (!faults->empty()) return std::nullopt;
    const std::string folder = std::string(kUpdateFolderName) + "/";
    std::vector<TarMember> members;
    auto add = [&](const char* name, const std::string& content, bool executable) {
        members.push_back(
            {folder + name, false, executable, Bytes(content.begin(), content.end())});
    };
    for (std::size_t kind = 0; kind < kUpdateFileKinds; ++kind) {
        if (!update.files[kind]) continue;
        members.push_back({folder + kUpdateFileRoles[kind].member, false, kind == FILE_DFU,
                           update.files[kind]->content});
    }
    if (hasVersion(update)) add(kVersionMember, versionFileText(update), false);
    if (update.installKeys) {
        const std::string keys = folder + kUpdateKeysFolderName + "/";
        members.push_back({keys, true, false, {}});
        for (const PartFile& key : *update.installKeys)
            members.push_back({keys + keyFileName(key), false, false, key.content});
        if (update.keySetStatement)
            members.push_back(
                {keys + kKeySetStatementName, false, false, update.keySetStatement->content});
        if (update.keySetSignatures)
            members.push_back(
                {keys + kKeySetSignaturesName, false, false, update.keySetSignatures->content});
    }
    add(kTodoMember, todoFileText(update), false);
    std::sort(members.begin(), members.end(),
              [](const TarMember& a, const TarMember& b) { return a.name < b.name; });
    members.insert(members.begin(), {folder, true, false, {}});

    std::string error;
    auto archive = tarArchive(members, &error);
    std::vector<Bytes> files;
    files.push_back(update.note ? update.note->content
                                : Bytes(kDefaultNote.begin(), kDefaultNote.end()));
    if (archive) files.push_back(gzipCompress(*archive));
    if (hasLap(update)) files.push_back(*lapImage(update, &error));
    std::optional<Bytes> image;
    if (archive) image = buildMultiImage(files, update.name, &error);
    if (!image) faults->push_back(error);
    return image;
}

}  // namespace mkupdate
