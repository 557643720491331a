#include "tools/mkupdate/sample_update.h"

#include "tools/mkupdate/image_files.h"

namespace mkupdate {

std::optional<Bytes> sampleLapPayload(const std::string& sampleFolder, std::string* error) {
    Bytes block;
    if (!readWholeFile(sampleFolder + "/lap/block.txt", &block, error)) return std::nullopt;
    if (block.empty()) {
        *error = sampleFolder + "/lap/block.txt is empty";
        return std::nullopt;
    }
    Bytes payload;
    payload.reserve(kSampleLapPayloadSize + block.size());
    while (payload.size() < kSampleLapPayloadSize) {
        payload.insert(payload.end(), block.begin(), block.end());
    }
    payload.resize(kSampleLapPayloadSize);
    return payload;
}

std::optional<UpdateDescription> sampleUpdate(const std::string& sampleFolder, std::string* error) {
    UpdateDescription update;
    update.name = kSampleUpdateName;
    auto read = [&](const std::string& path, std::optional<PartFile>* part) {
        PartFile file{path, {}, false};
        if (!readWholeFile(path, &file.content, error)) return false;
        *part = std::move(file);
        return true;
    };
    if (!read(sampleFolder + "/note.txt", &update.note) ||
        !read(sampleFolder + "/parts/pskeyorig.psr", &update.files[FILE_PSKEYS]) ||
        !read(sampleFolder + "/parts/service.txt", &update.files[FILE_SERVICES]))
        return std::nullopt;
    auto payload = sampleLapPayload(sampleFolder, error);
    if (!payload) return std::nullopt;
    update.lapPayload = PartFile{"lap-payload", std::move(*payload), false};
    update.lapName = kSampleLapName;
    for (std::size_t i = 0; i < kVersionCount; ++i) update.versions[i] = kSampleVersions[i];
    update.steps.emplace(kSampleSteps.begin(), kSampleSteps.end());
    return update;
}

std::optional<Bytes> buildSampleUpdate(const std::string& sampleFolder, std::string* error) {
    auto update = sampleUpdate(sampleFolder, error);
    if (!update) return std::nullopt;
    std::vector<std::string> faults;
    auto image = buildUpdate(*update, &faults);
    if (!image) *error = faults.front();
    return image;
}

}  // namespace mkupdate
