#include "tools/mkupdate/sample_update.h"

#include "tools/mkupdate/image_files.h"
#include "tools/mkupdate/update_archive.h"

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

std::optional<Bytes> buildSampleUpdate(const std::string& sampleFolder, std::string* error) {
    std::vector<Bytes> files(3);
    if (!readWholeFile(sampleFolder + "/note.txt", &files[0], error)) return std::nullopt;
    auto archive = packUpdateFolder(sampleFolder + "/" + kUpdateFolderName, error);
    if (!archive) return std::nullopt;
    files[1] = std::move(*archive);
    auto payload = sampleLapPayload(sampleFolder, error);
    if (!payload) return std::nullopt;
    auto lapImage = wrapImage(*payload, kSampleLapName, 0, error);
    if (!lapImage) return std::nullopt;
    files[2] = std::move(*lapImage);
    return buildMultiImage(files, kSampleUpdateName, error);
}

}  // namespace mkupdate
