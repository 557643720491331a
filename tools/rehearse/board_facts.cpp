#include "tools/rehearse/board_facts.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

#include "btlink/pskey_walks.h"
#include "image/sha256.h"
#include "sim/flash_model.h"
#include "sim/module/module_model.h"
#include "tools/common/input_file.h"
#include "tools/common/numbers.h"
#include "tools/common/update_report.h"
#include "tools/rehearse/step_times.h"

namespace fs = std::filesystem;

std::string readText(const std::string& path) {
    std::string text, error;
    return readInputFile(path, &text, &error) ? text : "";
}

std::string outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "OK";
        case Outcome::Nok:
            return "NOK";
        case Outcome::Seeding:
            return "seeding";
        case Outcome::NoFinalNotice:
            break;
    }
    return "none";
}

BoardSpeeds boardSpeeds() {
    return {static_cast<double>(kModuleDefaultBaud),
            static_cast<double>(kFlashTypicalSectorEraseTime.count()),
            static_cast<double>(kFlashTypicalWordProgramTime.count()),
            static_cast<double>(sysconf(_SC_CLK_TCK))};
}

namespace {

std::string trimmed(std::string text) {
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

std::string firstLine(const std::string& path) {
    std::vector<std::string> lines = splitLines(readText(path));
    return lines.empty() ? "" : lines.front();
}

// The run's outcome file: a missing or empty one is a run that no final notice ended.
Outcome readOutcome(const std::string& path) {
    const std::string text = firstLine(path);
    if (text.empty()) return Outcome::NoFinalNotice;
    for (Outcome outcome : {Outcome::Ok, Outcome::Nok, Outcome::NoFinalNotice, Outcome::Seeding})
        if (text == outcomeName(outcome)) return outcome;
    throw BadInputLine{path, 1, "not an outcome: " + text};
}

// The version table: the rows after the version check's first line (" part ... old  new
// update"), its fields apart by two blanks or more.
std::vector<VersionRow> readVersions(const std::string& report) {
    std::vector<VersionRow> rows;
    bool inTable = false;
    for (const std::string& line : splitLines(report)) {
        if (line.starts_with("Version Check:")) {
            inTable = true;
            continue;
        }
        if (!inTable) continue;
        if (!line.empty() && std::isalpha(static_cast<unsigned char>(line[0])) != 0) break;
        std::size_t dots = line.find(" ... ");
        if (dots == std::string::npos) continue;
        std::vector<std::string> fields;
        std::string rest = trimmed(line.substr(dots + 5));
        for (std::size_t at = 0; at < rest.size();) {
            std::size_t gap = rest.find("  ", at);
            fields.push_back(trimmed(rest.substr(at, gap - at)));
            if (gap == std::string::npos) break;
            at = rest.find_first_not_of(' ', gap);
        }
        if (fields.empty()) continue;
        rows.push_back({trimmed(line.substr(0, dots)), fields.front(),
                        fields.size() > 2 ? fields[1] : "", fields.back() == "yes"});
    }
    return rows;
}

// A key file's keys ("&kkkk = wwww ..."), lower case, each with its value's words.
std::map<std::string, std::string> readKeys(const std::string& path) {
    std::map<std::string, std::string> keys;
    for (const std::string& line : splitLines(readText(path))) {
        if (!line.starts_with('&')) continue;
        std::string key = line.substr(0, line.find_first_of(" =")), value;
        std::transform(key.begin(), key.end(), key.begin(), ::tolower);
        if (std::size_t equals = line.find('='); equals != std::string::npos) {
            value = trimmed(line.substr(equals + 1, line.find("//") - equals - 1));
        }
        keys[key] = value;
    }
    return keys;
}

std::set<std::string> presetKeyIds() {
    std::set<std::string> ids;
    for (const auto* list : {&presetKeysHci, &presetKeysBcsp}) {
        for (std::string_view preset : *list) {
            if (!preset.empty()) ids.insert(std::string(preset.substr(0, 5)));
        }
    }
    return ids;
}

std::vector<KeyChange> readKeyChanges(const std::string& dir) {
    std::map<std::string, std::string> before = readKeys(dir + "/before/state/module.psr");
    std::map<std::string, std::string> after = readKeys(dir + "/state/module.psr");
    std::map<std::string, std::string> imageKeys = readKeys(dir + "/tmp/update.d/pskeyorig.psr");
    std::set<std::string> presets = presetKeyIds(), all;
    for (const auto& [key, value] : before) all.insert(key);
    for (const auto& [key, value] : after) all.insert(key);
    std::vector<KeyChange> changes;
    for (const std::string& key : all) {
        auto was = before.find(key), is = after.find(key);
        std::optional<std::string> old, now;
        if (was != before.end()) old = was->second;
        if (is != after.end()) now = is->second;
        if (old == now) continue;
        bool preset = presets.contains(key) && !imageKeys.contains(key);
        changes.push_back({key, old, now, preset ? KeySource::Preset : KeySource::Image});
    }
    return changes;
}

// The flash's log: "TIME erase 0xADDRESS sectors N", "TIME program 0xADDRESS words N".
FlashWork readFlashWork(const std::string& path) {
    FlashWork work;
    std::set<std::uint64_t> touched;
    std::size_t number = 0;
    for (const std::string& line : splitLines(readText(path))) {
        ++number;
        std::istringstream in(line);
        std::string time, what, address, unit, countText;
        if (!(in >> time >> what >> address >> unit >> countText)) continue;
        std::uint64_t first = unsignedAt(address, path, number, 16), last;
        std::uint64_t count = unsignedAt(countText, path, number);
        if (what == "erase") {
            work.sectorsErased += count;
            last = first + count * kFlashModelSectorSize - 1;
        } else if (what == "program") {
            work.wordsProgrammed += count;
            last = first + count * kFlashModelWordSize - 1;
        } else {
            continue;
        }
        if (count == 0) continue;
        for (std::uint64_t s = first / kFlashModelSectorSize; s <= last / kFlashModelSectorSize;
             ++s)
            touched.insert(s);
    }
    char range[40];
    for (auto s = touched.begin(); s != touched.end();) {
        std::uint64_t start = *s, end = *s;
        while (++s != touched.end() && *s == end + 1) end = *s;
        std::snprintf(range, sizeof range, "%s0x%06llx-0x%06llx", work.ranges.empty() ? "" : ", ",
                      static_cast<unsigned long long>(start * kFlashModelSectorSize),
                      static_cast<unsigned long long>((end + 1) * kFlashModelSectorSize - 1));
        work.ranges += range;
    }
    return work;
}

// A record's key: the field before the first ";" (service and terminal records) or the name
// before "=" (data.txt).
std::string recordKey(const std::string& line) { return line.substr(0, line.find_first_of(";=")); }

// The lines taken out and put in, in the order of the files (a longest common subsequence).
std::vector<EtcChange> diffFile(const std::string& file, const std::vector<std::string>& old,
                                const std::vector<std::string>& now) {
    std::vector<std::vector<std::size_t>> common(old.size() + 1,
                                                 std::vector<std::size_t>(now.size() + 1));
    for (std::size_t i = old.size(); i-- > 0;)
        for (std::size_t j = now.size(); j-- > 0;)
            common[i][j] = old[i] == now[j] ? common[i + 1][j + 1] + 1
                                            : std::max(common[i + 1][j], common[i][j + 1]);
    std::vector<EtcChange> removed, added;
    for (std::size_t i = 0, j = 0; i < old.size() || j < now.size();) {
        if (i < old.size() && j < now.size() && old[i] == now[j]) {
            ++i, ++j;
        } else if (j == now.size() || (i < old.size() && common[i + 1][j] >= common[i][j + 1])) {
            removed.push_back({file, false, old[i++], false});
        } else {
            added.push_back({file, true, now[j++], false});
        }
    }
    std::set<std::string> addedKeys;
    for (const EtcChange& change : added) addedKeys.insert(recordKey(change.line));
    for (EtcChange& change : removed) {
        change.loss = !change.line.empty() && !change.line.starts_with('#') &&
                      !addedKeys.contains(recordKey(change.line));
    }
    removed.insert(removed.end(), added.begin(), added.end());
    return removed;
}

std::string hexText(const Sha256Digest& digest) {
    std::string text;
    char hex[3];
    for (std::uint8_t byte : digest) {
        std::snprintf(hex, sizeof hex, "%02x", byte);
        text += hex;
    }
    return text;
}

// A board's own files in the place of its stand-in's, by their paths in the seeded state.
using OwnFiles = std::map<std::string, std::string>;

// The files of a folder, in name order, each with its path in the folder; own's in the place of
// those it names.
void hashFolder(Sha256Context& context, const fs::path& folder, const std::string& prefix,
                const OwnFiles& own) {
    std::vector<fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        std::string name = prefix + fs::relative(file, folder).string();
        auto mine = own.find(name);
        std::string content = mine != own.end() ? mine->second : readText(file.string());
        std::string head = name + '\0' + std::to_string(content.size()) + '\0';
        sha256Update(context, {reinterpret_cast<const std::uint8_t*>(head.data()), head.size()});
        sha256Update(context,
                     {reinterpret_cast<const std::uint8_t*>(content.data()), content.size()});
    }
}

std::string seededStateHash(const std::string& dir, const OwnFiles& own) {
    if (!fs::is_directory(dir + "/before")) return "";
    Sha256Context context;
    sha256Init(context);
    hashFolder(context, dir + "/before/state", "state/", own);
    hashFolder(context, dir + "/before/etc", "etc/", own);
    return hexText(sha256Final(context));
}

// A board never seeded, as its seeding would have made it: its stand-in's seeded state with its
// own data.txt and its module's own words for each key (a twin differs only in those: the key
// lines are the same, and seeding writes each as "&kkkk = wwww ..." in lower case, CR LF).
OwnFiles ownSeededFiles(const fs::path& seeded, const std::string& folder) {
    OwnFiles own;
    if (fs::is_regular_file(folder + "/etc/data.txt"))
        own["etc/data.txt"] = readText(folder + "/etc/data.txt");
    if (!fs::is_regular_file(folder + "/module.psr")) return own;
    const std::map<std::string, std::string> words = readKeys(folder + "/module.psr");
    std::string psr;
    for (const std::string& line :
         splitLines(readText((seeded / "before/state/module.psr").string()))) {
        auto mine = words.find(line.substr(0, 5));
        std::string value = mine == words.end() ? "" : mine->second;
        std::transform(value.begin(), value.end(), value.begin(), ::tolower);
        psr +=
            (mine == words.end() ? line : mine->first + " =" + (value.empty() ? "" : " " + value)) +
            "\r\n";
    }
    own["state/module.psr"] = psr;
    return own;
}

// The runs that stand for a board's (twin-of): the board seeded for it, when it was not seeded
// itself (alike to that board but for its serial number), and the board whose run stands for
// that one's; the last is the run. Each is a run of this rehearsal, in the same folder.
std::vector<fs::path> standIns(const fs::path& dir) {
    std::vector<fs::path> chain{dir};
    const std::size_t hops = fs::exists(dir / "seed.txt") ? 1 : 2;
    for (std::string twin; !(twin = firstLine((chain.back() / "twin-of").string())).empty();) {
        const fs::path next = dir.parent_path() / twin;
        if (twin.find('/') != std::string::npos || twin == "." || twin == ".." ||
            chain.size() > hops || (!fs::exists(next / "outcome") && !fs::exists(next / "twin-of")))
            throw BadInputLine{(chain.back() / "twin-of").string(), 1,
                               "not a run of this rehearsal: " + twin};
        chain.push_back(next);
    }
    return chain;
}

}  // namespace

namespace {

// Compares two versions piece by piece: runs of digits as numbers, anything else as text.
int compareVersions(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && digit(a[ei])) ++ei;
            while (ej < b.size() && digit(b[ej])) ++ej;
            std::string x = a.substr(i, ei - i), y = b.substr(j, ej - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (x != y) return x < y ? -1 : 1;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j] ? -1 : 1;
            ++i;
            ++j;
        }
    }
    return (i < a.size()) - (j < b.size());
}

}  // namespace

bool olderVersion(const std::string& part, const std::string& oldVersion,
                  const std::string& newVersion) {
    // A version the board's data.txt lacks reads "not found", cut to the firmware's four
    // characters ("not "): no version, so no downgrade.
    auto isVersion = [](const std::string& v) {
        return !v.empty() && std::isdigit(static_cast<unsigned char>(v.front())) != 0;
    };
    if (!isVersion(oldVersion) || !isVersion(newVersion)) return false;
    if (part.find("Firmware") != std::string::npos) {
        return compareVersions(newVersion.substr(0, 4), oldVersion.substr(0, 4)) < 0;
    }
    if (part.find("Software") != std::string::npos) {
        return compareVersions(newVersion, oldVersion) < 0;
    }
    return false;
}

RunFacts& ownRun(BoardFacts& board) {
    auto copy = std::make_shared<RunFacts>(*board.run);
    board.run = copy;
    return *copy;
}

std::string sha256Hex(const std::string& bytes) {
    return hexText(sha256({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
}

namespace {

// The facts of a run, shared by the boards it stands for: all but their names, folders, seeding
// lines and states.
RunFacts readRunFacts(const std::string& dir, bool atSpeed, const BoardSpeeds& speeds) {
    RunFacts facts;
    facts.outcome = readOutcome(dir + "/outcome");
    if (facts.outcome == Outcome::Seeding) {
        facts.seedErrors = splitLines(readText(dir + "/seed.err"));
        return facts;
    }
    const std::string report = readText(dir + "/tmp/update.log");
    facts.versions = readVersions(report);
    for (VersionRow& row : facts.versions)
        row.older = olderVersion(row.part, row.oldVersion, row.newVersion);
    facts.keys = readKeyChanges(dir);
    facts.firmwareBefore = firstLine(dir + "/before/state/module.firmware");
    facts.firmwareAfter = firstLine(dir + "/state/module.firmware");
    facts.flash = readFlashWork(dir + "/state/flash.log");
    for (const char* file : {"data.txt", "service.txt", "terminal.txt"}) {
        std::string old = dir + "/before/etc/" + file, now = dir + "/tmp/etc-after/" + file;
        if (!fs::exists(old) || !fs::exists(now)) continue;
        std::vector<EtcChange> changes =
            diffFile(file, splitLines(readText(old)), splitLines(readText(now)));
        facts.etc.insert(facts.etc.end(), changes.begin(), changes.end());
    }
    facts.trust = readTrustFacts(dir, report);
    StepTimes times = readStepTimes(dir, atSpeed, speeds);
    facts.steps = std::move(times.steps);
    facts.duration = times.duration;
    assignReasons(facts.steps, failureCause(report));
    return facts;
}

}  // namespace

BoardFacts readBoardFacts(const std::string& dir, const std::string& name,
                          const std::string& folder, bool atSpeed, const BoardSpeeds& speeds,
                          RunCache* cache) {
    // A twin takes the run of the board that stands for it, and keeps its own name, folder,
    // seeding lines and state; one never seeded takes those of the board seeded for it, with
    // its own data.txt.
    const std::vector<fs::path> chain = standIns(dir);
    const std::string run = chain.back().string();
    BoardFacts facts;
    RunCache own;
    std::shared_ptr<const RunFacts>& shared = (cache == nullptr ? own : *cache)[run];
    if (!shared) shared = std::make_shared<const RunFacts>(readRunFacts(run, atSpeed, speeds));
    facts.run = shared;
    facts.name = name;
    facts.folder = folder;
    const fs::path& seeded =
        chain.size() == 1 || fs::exists(chain.front() / "seed.txt") ? chain.front() : chain[1];
    for (const std::string& line : splitLines(readText((seeded / "seed.txt").string()))) {
        if (line.starts_with("assumed ")) facts.assumed.push_back(line.substr(8));
        if (line.starts_with("note ")) facts.notes.push_back(line.substr(5));
    }
    // (A board never seeded has its seeded twin's flash: their folders are alike.)
    facts.flashSize = unsignedNumber(firstLine((seeded / "before/state/flash.size").string()));
    if (!facts.ran()) return facts;
    OwnFiles ownFiles;
    if (seeded != chain.front()) ownFiles = ownSeededFiles(seeded, folder);
    facts.stateSha256 = seededStateHash(seeded.string(), ownFiles);
    return facts;
}
