#include "tests/support/updates.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <utility>

#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tools/mkupdate/sample_update.h"
#include "tools/mkupdate/update_archive.h"

mkupdate::Bytes sampleUpdateWithoutModule() {
    std::string error;
    std::optional<mkupdate::UpdateDescription> update =
        mkupdate::sampleUpdate(kSampleFolder, &error);
    EXPECT_TRUE(update) << error;
    if (!update) return {};
    update->steps = {"CHECK_VERSIONS", "LAP_SOFTWARE", "CHECK_SDP", "REMOVE_DFU_UPLOAD", "PPCBOOT"};
    std::vector<std::string> faults;
    std::optional<mkupdate::Bytes> image = mkupdate::buildUpdate(*update, &faults);
    EXPECT_TRUE(image) << (faults.empty() ? "" : faults.front());
    return image.value_or(mkupdate::Bytes());
}

mkupdate::Bytes sampleLapImage() {
    std::string error;
    auto payload = mkupdate::sampleLapPayload(PROJECT_SOURCE_PATH "/sim/sample-update", &error);
    auto lap = mkupdate::wrapImage(payload.value_or(mkupdate::Bytes()), mkupdate::kSampleLapName, 0,
                                   &error);
    EXPECT_TRUE(lap) << error;
    return lap.value_or(mkupdate::Bytes());
}

std::string onTheSampleImagesModule(std::string dataTxt) {
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"1958 16.4.0", "2114 17.3.5"},
          {"FW 1958", "FW 2114"},
          {"SET S2C4;PS 05", "SET S3A1;PS 07"}}) {
        const std::size_t at = dataTxt.find(from);
        if (at == std::string::npos) {
            ADD_FAILURE() << "no " << from << " in " << dataTxt;
            continue;
        }
        dataTxt.replace(at, from.size(), to);
    }
    return dataTxt;
}

std::string seedOldFlash(std::size_t size) {
    std::string contents = oldFlashContents(size);
    writeWholeFile(simStatePath(kFlashContentsFile), contents);
    return contents;
}

std::string oldFlashContents(std::size_t size) {
    std::string flash(size, '\0');
    for (std::size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<char>(i * 7 + 3);
    return flash;
}

std::string flashWithLap(std::string flash, const std::string& lap) {
    constexpr std::size_t kImageArea = 0x20000;
    constexpr std::size_t kSector = 0x10000;
    std::size_t erasedEnd = kImageArea + (lap.size() + kSector - 1) / kSector * kSector;
    flash.replace(kImageArea, erasedEnd - kImageArea, erasedEnd - kImageArea, '\xFF');
    flash.replace(kImageArea, lap.size(), lap);
    return flash;
}

mkupdate::Bytes makeUpdateImage(const std::map<std::string, std::string>& files, bool withLap,
                                const std::set<std::string>& executables) {
    const std::string folder = "/tmp/made-update/update.d";
    std::filesystem::remove_all("/tmp/made-update");
    std::filesystem::create_directories(folder);
    for (const auto& [name, content] : files) {
        writeWholeFile(folder + "/" + name, content);
        chmod((folder + "/" + name).c_str(), executables.contains(name) ? 0755 : 0644);
    }
    std::string error;
    auto archive = mkupdate::packUpdateFolder(folder, &error);
    EXPECT_TRUE(archive) << error;
    std::vector<mkupdate::Bytes> parts{{'n', '\n'}, archive.value_or(mkupdate::Bytes())};
    if (withLap) parts.push_back(sampleLapImage());
    auto image = mkupdate::buildMultiImage(parts, "test update", &error);
    EXPECT_TRUE(image) << error;
    std::filesystem::remove_all("/tmp/made-update");
    return image.value_or(mkupdate::Bytes());
}

std::map<std::string, std::string> firmwareParts() {
    const std::string folder = PROJECT_SOURCE_PATH "/sim/dfu-standin/";
    std::map<std::string, std::string> parts;
    for (const char* name : {"dfu", "stack.dfu", "linabcsp_uart.o", "bcsp.o", "linabcsp_upChan.o"})
        parts[name] = readWholeFile(folder + name);
    return parts;
}

std::string withoutDfuProgress(std::string report) {
    static const std::regex progress(
        R"( +\d* percent |open error file /tmp/dfu_status\.log: 0x02 No such file or directory)");
    const std::string start = "Update Parlo Firmware: started ...";
    for (std::size_t at = report.find(start); at != std::string::npos;
         at = report.find(start, at + 1)) {
        const std::size_t from = at + start.size();
        // The step's text ends where the next step's line or the update's end begins.
        std::size_t end = std::min(report.find("*UPDATE_FINISHED*", from), report.size());
        const std::size_t next = report.find(" started ... ", from);
        if (next < end) end = report.rfind('\n', next) + 1;
        report.replace(from, end - from,
                       std::regex_replace(report.substr(from, end - from), progress, ""));
    }
    return report;
}

std::string listedFileBytes(const mkupdate::Bytes& image, const mkupdate::ListedFile& file) {
    // The listing's offsets are those of a file that is in memory: they fit a size_t.
    const auto first = image.begin() + static_cast<std::ptrdiff_t>(file.offset);
    return std::string(first, first + static_cast<std::ptrdiff_t>(file.size));
}
