// A board's state written as a board's folder that a rehearsal takes (sim/seed-board): after
// the read-only update has ended OK, the module's PS-Keys from the read step's dump, with the
// comment lines that say what the dump can't (the firmware, how the module talks at start),
// the board's /etc files, its update keys and security version, and the flash's size (and,
// when asked, its contents), read through the daemon's platform seam.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// No file of a capture is larger: a board's /etc files and the dump are a few KB; a file
// larger than this is no board's.
inline constexpr std::size_t kMaxCapturedFileBytes = std::size_t{1} << 20;

// The firmware that data.txt's first BTFIRMWARE= line names, as the version check reads it: a
// trailing CR and blanks dropped. "" when it names none.
std::string firmwareOfDataTxt(std::string_view dataTxt);

// module.psr: the comment lines, then the dump as the daemon wrote it. origin says where and
// when it was captured; dataTxt is the board's /etc/data.txt ("" when it has none).
std::string capturedModulePsr(std::string_view dump, std::string_view dataTxt,
                              std::string_view origin);

// What to do when the board refused the read-only update for its signature, from the
// failure's cause as the report gives it: an unsigned update on a board with keys, one signed
// by a key the board doesn't hold, or of a security version below the board's. ownImage: the
// update was aipeer's own (no --image). "" when the refusal was none of these.
std::string captureSignatureHint(std::string_view cause, bool ownImage);

// The flash's size as a board's folder gives it: "4M" for whole MiB, else its bytes.
std::string flashSizeText(std::uint64_t size);

// The board's folder while a capture makes it: made empty before the update starts, so that
// a folder that can't be made refuses the capture before anything is asked; everything made
// in it is removed again unless it is kept.
class BoardFolder {
public:
    BoardFolder() = default;
    ~BoardFolder();
    BoardFolder(const BoardFolder&) = delete;
    BoardFolder& operator=(const BoardFolder&) = delete;

    // Makes the folder, which must not exist. False, with the reason on standard error.
    bool make(const std::string& path);
    // Writes the board's pieces from what the read step left in /tmp and the board's /etc and
    // flash. False after an error (on standard error); what a folder can't hold (a link among
    // the update keys, a flash that can't be asked) is said there too, and left out.
    bool fill(bool flashContents);
    // What was made stays.
    void keep() { made_.clear(); }
    const std::string& path() const { return path_; }

private:
    bool addFolder(const std::string& name);
    bool addFile(const std::string& name, std::string_view content);
    // The pieces of fill: /etc's texts (data.txt's content in dataTxt), the board's trust, the
    // flash.
    bool addEtcTexts(std::string* dataTxt);
    bool addTrust();
    bool addFlash(bool flashContents);
    void discard();

    std::string path_;
    std::vector<std::string> made_;  // in the order made, the folder first
};
