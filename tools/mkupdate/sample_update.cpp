#include "tools/mkupdate/sample_update.h"

#include "tools/common/image_files.h"
#include "tools/mkupdate/build_options.h"

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
    const std::string parts = sampleFolder + "/parts/";
    const std::string firmware = sampleFolder + "/../dfu-standin/";
    if (!readPart(sampleFolder + "/note.txt", &update.note, error) ||
        !readPart(parts + "pskeyorig.psr", &update.files[FILE_PSKEYS], error) ||
        !readPart(parts + "service.txt", &update.files[FILE_SERVICES], error) ||
        !readPart(firmware + "dfu", &update.files[FILE_DFU], error) ||
        !readPart(firmware + "stack.dfu", &update.files[FILE_STACK], error) ||
        !readPart(firmware + "linabcsp_uart.o", &update.files[FILE_BCSP_UART], error) ||
        !readPart(firmware + "bcsp.o", &update.files[FILE_BCSP], error) ||
        !readPart(firmware + "linabcsp_upChan.o", &update.files[FILE_BCSP_UPCHAN], error))
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
