// What one board's rehearsal shows, read from the folder that scripts/rehearse.sh kept for it
// (OUT/NAME: seed.txt, before/, state/, tmp/, outcome): the outcome and why, the version
// table's decisions, what the update changed on the module, the flash and in /etc, and the
// time of each step at the board's speed.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/input_file.h"

// Where a PS-Key's new value came from: the image's key file, or the keys that the daemon sets
// by itself for the module's transport whatever the image holds.
enum class KeySource { Image, Preset };

struct KeyChange {
    std::string key;                    // "&0021"
    std::optional<std::string> before;  // nothing: the module did not hold the key
    std::optional<std::string> after;
    KeySource source = KeySource::Image;
};

struct EtcChange {
    std::string file;  // "service.txt"
    bool added = false;
    std::string line;
    // A record of the board's own that the update removed and put nothing in the place of
    // (no added line has its key: the first field, or the name before "=").
    bool loss = false;
};

struct VersionRow {
    std::string part, oldVersion, newVersion;
    bool update = false;
    // The new firmware or software is older than the board's: a downgrade, not an update.
    bool older = false;
};

// Whether a version row's new version is older than its old one, by what the version check
// compares: the firmware's build number (its first four characters), the software's whole
// version. Numbers within the texts compare as numbers ("2.10" after "2.9"); the PS-Key
// settings and a version not found have no order.
bool olderVersion(const std::string& part, const std::string& oldVersion,
                  const std::string& newVersion);

struct FlashWork {
    std::uint64_t sectorsErased = 0;
    std::uint64_t wordsProgrammed = 0;
    std::string ranges;  // "0x020000-0x05ffff, ..."
};

// Results of a step beside the report's own ("OK", "NOK", "Nothing Done", ...).
inline constexpr const char* kNotRun = "not run";      // on the to-do list, never entered
inline constexpr const char* kNoResult = "no result";  // entered, the run ended before its end

struct StepFacts {
    std::string name;  // "Image check" for the image's check and unpacking, then the steps
    std::string result;
    std::vector<std::string> reasons;  // the report's lines that tell why it failed
    // Seconds at the board's speed; for a step not run all 0.
    double start = 0, wire = 0, waits = 0, work = 0, total = 0;
};

// A file of the board's update key folder, with the ID of its key and its role ("" both when
// the daemon can't read it as a key).
struct KeyFile {
    std::string file;
    std::string keyId;
    std::string role;  // "root", "release"
};

// Whom the board trusts and whom it took the image from: its update keys before and after the
// update (the update may install a new set), the key that signed the image and the daemon's
// verdict, and the board's security version before and after.
struct TrustFacts {
    bool keyFolderBefore = false, keyFolderAfter = false;  // a key folder (or a thing there)
    std::vector<KeyFile> keysBefore, keysAfter;
    std::string signer;  // the ID of the key that verified the image; "" when none did
    std::optional<std::uint32_t> imageSecurityVersion;
    // "valid", "not checked (no update key installed)", "refused: REASON", or "" when the
    // image was refused before its signature was looked at
    std::string verdict;
    // Nothing: the record is there but holds no number (the daemon refuses every signed image
    // then); a board without the record is at 0.
    std::optional<std::uint32_t> securityBefore = 0, securityAfter = 0;
    // The board's key-set version, as the daemon reads it before a key set's change: the
    // higher of its record and its set's statement's (0 without either); nothing when one of
    // them is there but can't be read (the daemon refuses every key set's change then).
    std::optional<std::uint32_t> keySetBefore = 0, keySetAfter = 0;
};

// The files of a key folder as a line: "makers.key 0123... (release), k.pub (not a key)",
// "none". The set's statement and its signatures are no key files: they are left out.
std::string keyFilesText(const std::vector<KeyFile>& keys, bool folder);
// A board's security or key-set version as the plan shows it: "2", or "unreadable".
std::string securityVersionText(const std::optional<std::uint32_t>& version);
// The daemon's verdict on the image with its signer: "valid, key ID, security version 2",
// "refused: no signature", "not checked (no update key installed)"; "not looked at" when the
// image was refused before its signature was.
std::string signatureText(const TrustFacts& trust);
// A board's trust in a table's cell: "refused: signed by unknown key", "unsigned, keyless",
// "keyless -> keys 1", "keys 2 -> 3, sv 1 -> 2", "keys 1 -> 3 (2 root), key set 0 -> 1".
// imageSigner: the image's (ImageId::signer),
// which tells an unsigned image from a signed one that a keyless board took unchecked.
std::string trustCell(const TrustFacts& trust, const std::string& imageSigner);

// The trust facts of the run kept in dir, with the update report.
TrustFacts readTrustFacts(const std::string& dir, const std::string& report);

// How a board's run ended: the final notice's OK or NOK, no final notice, or not run as its
// folder could not be seeded.
enum class Outcome { Ok, Nok, NoFinalNotice, Seeding };
// As the run's outcome file and the reports name it: "OK", "NOK", "none", "seeding".
std::string outcomeName(Outcome outcome);

// What a run showed. A run may stand for many boards (twins: alike but for their serial
// number), so its facts are read once and shared by all of them, never copied for each.
struct RunFacts {
    Outcome outcome = Outcome::NoFinalNotice;
    std::vector<std::string> seedErrors;  // why the folder could not be seeded
    std::vector<VersionRow> versions;
    std::vector<KeyChange> keys;
    std::string firmwareBefore, firmwareAfter;
    FlashWork flash;
    std::vector<EtcChange> etc;
    TrustFacts trust;
    std::vector<StepFacts> steps;
    std::optional<double> duration;  // whole seconds at the board's speed, when known
};

struct BoardFacts {
    std::string name, folder;
    std::vector<std::string> assumed;  // pieces taken from the sample board
    std::vector<std::string> notes;    // what the seeding saw of the board's own files
    std::string stateSha256;           // of the seeded state and /etc, as the update found them
    std::optional<std::uint64_t> flashSize;  // bytes, the board's own or the one assumed
    // Never changed once shared: a board whose facts differ gets a run of its own (ownRun).
    std::shared_ptr<const RunFacts> run = std::make_shared<const RunFacts>();
    bool ran() const { return run->outcome != Outcome::Seeding; }
};

// The board's run facts to change: a copy of its own from now on, the other boards that shared
// them untouched.
RunFacts& ownRun(BoardFacts& board);

// The device figures that turn a quick run's counts into the board's time.
struct BoardSpeeds {
    double baud;           // the module's line, 8N1: 10 bits a byte
    double sectorEraseUs;  // the flash's typical times
    double wordProgramUs;
    double ticksPerSecond;  // of the processor times in the stamps
};
BoardSpeeds boardSpeeds();

// The runs read so far, by their folder: a run that stands for many boards is read once.
using RunCache = std::map<std::string, std::shared_ptr<const RunFacts>>;

// Reads the run kept in dir, or the run of the board that stands for it (dir/twin-of). atSpeed:
// the run went at the board's speed, and its times are measured; otherwise the quick run's
// times are counted back at the board's pace and the line's and the flash's time added.
BoardFacts readBoardFacts(const std::string& dir, const std::string& name,
                          const std::string& folder, bool atSpeed, const BoardSpeeds& speeds,
                          RunCache* cache = nullptr);

// Helpers shared with the step times and the program (board_facts.cpp).
std::string sha256Hex(const std::string& bytes);
// A run's file, or "" when there is none (nor is a FIFO or a device ever waited on).
std::string readText(const std::string& path);
