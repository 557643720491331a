// The version files and the .psr value reading of the version check: "/etc/data.txt" (the
// installed versions), "/tmp/update.d/VERSION" and "/tmp/update.d/pskeyorig.psr" (the
// update's), read by getKeywordValue, findPSKeyInFile and checkVersions.
//
// Input: the three files, in that order, separated by the line "@@@@".
//
// Promises checked: a keyword value and a key's text stay inside their buffers, NUL-terminated,
// and are left alone when the line isn't there; decoded key bytes stay inside theirs; the
// version check answers 1 and appends exactly its table (the header and one row of fixed
// width per component, the decision matching the component's flag); the PS-Key row is never
// "no" while the firmware row is "yes".
#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "btlink/pskey_files.h"
#include "core/log.h"
#include "fuzz/fuzz_support.h"
#include "update/update_reception.h"
#include "update/update_state.h"
#include "update/version_check.h"

namespace {

constexpr const char* kInstalledPath = "/etc/data.txt";
constexpr const char* kVersionPath = "/tmp/update.d/VERSION";
constexpr const char* kTableHeader =
    "OK\n     part:            |     old version      |      new version      |   update ?";
// "\n   " label (19) " " old (23) " " new (22) " " decision (20).
constexpr std::size_t kRowLength = 4 + 19 + 1 + 23 + 1 + 22 + 1 + 20;
constexpr std::size_t kCanary = 16;
constexpr char kUnwritten = 0x5A;

// A buffer of size bytes followed by a canary that no operation may touch.
template <std::size_t Capacity>
struct Guarded {
    std::array<char, Capacity + kCanary> bytes;
    std::size_t size;
    explicit Guarded(std::size_t length) : size(length) { bytes.fill(kUnwritten); }
    std::span<char> span() { return {bytes.data(), size}; }
    bool canaryIntact() const {
        for (std::size_t i = size; i < size + kCanary; ++i)
            if (bytes[i] != kUnwritten) return false;
        return true;
    }
    bool unwritten() const {
        for (std::size_t i = 0; i < size; ++i)
            if (bytes[i] != kUnwritten) return false;
        return true;
    }
    bool terminated() const { return std::memchr(bytes.data(), '\0', size) != nullptr; }
};

void checkKeywordValues(const char* path, std::size_t smallSize) {
    for (const ComponentVersion& component : componentTable) {
        if (component.keyword == nullptr) break;
        bool present = false;
        for (const std::string& piece : readPieces(path, 1023))
            if (piece.starts_with(component.keyword)) present = true;
        for (std::size_t size : {kKeywordValueSize, smallSize}) {
            Guarded<kKeywordValueSize> value(size);
            FUZZ_ASSERT(getKeywordValue(path, component.keyword, value.span()) == 1,
                        "an existing version file is read");
            FUZZ_ASSERT(value.canaryIntact(), "a keyword value stays inside its buffer");
            if (present) {
                FUZZ_ASSERT(value.terminated(), "a keyword value is NUL-terminated");
            } else {
                FUZZ_ASSERT(value.unwritten(), "a missing keyword leaves the value alone");
            }
        }
    }
}

void checkKeyValues(std::size_t textSize, std::size_t byteCount) {
    for (const char* prefix : {"&02a5 = ", "&02a4 = "}) {
        Guarded<kPsKeyTextSize> text(textSize);
        Guarded<kPsKeyBytesSize> bytes(byteCount);
        int found = findPSKeyInFile(
            kPsKeyUpdatePath, prefix, text.span(),
            std::span(reinterpret_cast<std::uint8_t*>(bytes.bytes.data()), bytes.size));
        FUZZ_ASSERT(found == 0 || found == 1, "findPSKeyInFile answers 1 or 0");
        FUZZ_ASSERT(text.canaryIntact(), "a key's text stays inside its buffer");
        FUZZ_ASSERT(bytes.canaryIntact(), "a key's bytes stay inside their buffer");
        if (found == 1) {
            FUZZ_ASSERT(text.terminated(), "a key's text is NUL-terminated");
        } else {
            FUZZ_ASSERT(text.unwritten() && bytes.unwritten(), "a missing key writes nothing");
        }
    }
}

void checkVersionTable() {
    removeFile(kUpdateReportPath);
    resetUpdateOutcome();
    FUZZ_ASSERT(checkVersions() == 1, "the version check answers 1");
    std::string report = readWholeFile(kUpdateReportPath).value_or("");
    std::size_t rows = componentTable.size() - 1;
    FUZZ_ASSERT(report.size() == std::strlen(kTableHeader) + rows * kRowLength &&
                    report.starts_with(kTableHeader),
                "the report gets the table's header and one row of fixed width per component");
    for (std::size_t row = 0; row < rows; ++row) {
        const ComponentVersion& component = componentTable[row];
        std::string_view text(report.data() + std::strlen(kTableHeader) + row * kRowLength,
                              kRowLength);
        FUZZ_ASSERT(text.starts_with("\n   ") &&
                        text.substr(4, std::strlen(component.label)) == component.label,
                    "a row begins with its component's label");
        FUZZ_ASSERT(component.needsUpdate == 0 || component.needsUpdate == 1,
                    "a component needs an update or not");
        std::string_view decision = text.substr(kRowLength - 20);
        FUZZ_ASSERT(decision == (component.needsUpdate == 1 ? "    yes             "
                                                            : "    no              "),
                    "a row's decision is its component's flag");
    }
    FUZZ_ASSERT(!(componentTable[0].needsUpdate == 1 && componentTable[1].needsUpdate == 0),
                "the PS-Keys are never current while the firmware is not");
}

}  // namespace

void setUpHarness() { makeFolder(kUpdateFolder); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string_view> files = splitFiles({data, size}, 3);
    writeWholeFile(kInstalledPath, files[0]);
    writeWholeFile(kVersionPath, files[1]);
    writeWholeFile(kPsKeyUpdatePath, files[2]);
    // Buffer sizes that callers other than the version check might use.
    std::uint8_t tail = size > 0 ? data[size - 1] : 0;
    checkKeywordValues(kInstalledPath, 1 + tail % 40);
    checkKeywordValues(kVersionPath, 1 + tail % 40);
    checkKeyValues(1 + tail % kPsKeyTextSize, 2 * (tail % 17));
    checkVersionTable();
    return 0;
}
