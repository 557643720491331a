#include "tools/rehearse/board_deal.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <unordered_map>

namespace fs = std::filesystem;

namespace rehearse {

namespace {

// Whether path lies in folder (or is it); both absolute and without links.
bool within(const fs::path& path, const fs::path& folder) {
    auto [end, at] = std::mismatch(folder.begin(), folder.end(), path.begin(), path.end());
    return end == folder.end();
}

// The names, each once; false with the reason in error.
bool checkNames(const DealRequest& request, std::vector<std::string>* names, std::string* error) {
    std::unordered_map<std::string, std::size_t> seen;
    for (const std::string& folder : request.folders) {
        std::string name = boardName(folder);
        if (name.find_first_of("\t\r\n") != std::string::npos) {
            *error = "a board folder's name holds a tab or a line end: " + folder;
            return false;
        }
        // The old image's runs are kept in RUNS/compared/.
        if (name == "compared" && request.images.size() > 1) {
            *error = "a board named compared";
            return false;
        }
        if (!seen.emplace(name, names->size()).second) {
            *error = "two boards named " + name;
            return false;
        }
        names->push_back(std::move(name));
    }
    return true;
}

// The names in folder, in their bytes' order; false when it can't be read.
bool entries(const fs::path& folder, std::vector<std::string>* names) {
    std::error_code failed;
    for (fs::directory_iterator entry(folder, failed), end; !failed && entry != end;
         entry.increment(failed))
        names->push_back(entry->path().filename().string());
    std::sort(names->begin(), names->end());
    return !failed;
}

// A folder itself, not a link to one.
bool realFolder(const fs::path& path) {
    std::error_code failed;
    return fs::symlink_status(path, failed).type() == fs::file_type::directory;
}

// What a board's run leaves in RUNS/NAME, and nothing else: such a folder is a rehearsal's own
// (this one's or an earlier one's) and may be made anew.
bool runFolder(const fs::path& path) {
    static constexpr std::array<const char*, 9> kRunEntries = {
        "seed.txt", "seed.err", "before",       "state",  "tmp",
        "run.err",  "outcome",  "timeline.svg", "twin-of"};
    std::vector<std::string> names;
    if (!realFolder(path) || !entries(path, &names)) return false;
    return std::all_of(names.begin(), names.end(), [](const std::string& name) {
        return std::find(kRunEntries.begin(), kRunEntries.end(), name) != kRunEntries.end();
    });
}

std::string noRun(const std::string& what, const fs::path& entry) {
    return "--out " + what + "holds " + entry.string() +
           ", which is no rehearsal's run: choose another folder";
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Nor may the runs lie in a board's folder, or a board's folder in the runs: a new rehearsal
// removes what its runs' folders hold.
bool checkRuns(const DealRequest& request, std::string* error) {
    if (request.runs.empty()) return true;
    std::error_code failed;
    const fs::path runs = fs::weakly_canonical(request.runs, failed);
    for (const std::string& fleet : request.fleets) {
        const fs::path folder = fs::canonical(fleet, failed);
        if (!failed && within(runs, folder)) {
            *error = "--out " + runs.string() + " lies in the fleet folder " + folder.string();
            return false;
        }
    }
    for (const std::string& folder : request.folders) {
        const fs::path board = fs::canonical(folder, failed);
        if (failed || !fs::is_directory(board, failed)) {
            *error = "no board folder " + folder;
            return false;
        }
        if (within(runs, board)) {
            *error = "--out " + runs.string() + " lies in the board folder " + board.string();
            return false;
        }
        if (within(board, runs)) {
            *error = "--out " + runs.string() + " holds the board folder " + board.string();
            return false;
        }
    }
    return true;
}

}  // namespace

std::string boardName(const std::string& folder) {
    fs::path path = fs::absolute(folder).lexically_normal();
    if (path.filename().empty()) path = path.parent_path();
    return path.filename().string();
}

bool fleetBoards(const std::string& fleet, std::vector<std::string>* folders, std::string* error) {
    std::vector<std::string> names;
    std::error_code failed;
    if (!fs::is_directory(fleet, failed) || !entries(fleet, &names)) {
        *error = "no fleet folder " + fleet;
        return false;
    }
    const std::size_t before = folders->size();
    const std::string in = fleet.ends_with('/') ? fleet : fleet + "/";
    for (const std::string& name : names) {
        // Only what looks like a board's folder is one: a rehearsal's own runs (an --out
        // inside the fleet) or a stray folder is no board to rehearse.
        const fs::path board = in + name;
        if (name.starts_with('.') || !fs::is_directory(board, failed)) continue;
        if (fs::is_directory(board / "etc", failed) || fs::exists(board / "module.psr", failed) ||
            fs::exists(board / "flash", failed) || fs::exists(board / "flash.bin", failed))
            folders->push_back(board.string());
    }
    if (folders->size() > before) return true;
    *error = "no board folder in " + fleet;
    return false;
}

bool makeRunsFolder(const std::string& runs, std::string* error) {
    std::error_code failed;
    const fs::file_status status = fs::symlink_status(runs, failed);
    if (fs::is_symlink(status)) {
        *error = "--out " + runs + " is a link: name the folder itself";
        return false;
    }
    if (fs::exists(status) && !fs::is_directory(status)) {
        *error = "--out " + runs + " is not a folder";
        return false;
    }
    fs::create_directories(runs, failed);
    const fs::path folder = fs::canonical(runs, failed);
    std::vector<std::string> names;
    if (failed || !entries(folder, &names)) {
        *error = "--out " + runs + ": can't make or read it: " + failed.message();
        return false;
    }
    for (const std::string& name : names) {
        const fs::path entry = folder / name;
        if ((endsWith(name, ".html") || endsWith(name, ".json")) &&
            fs::symlink_status(entry, failed).type() == fs::file_type::regular)
            continue;
        if (name == "compared" && realFolder(entry)) {
            std::vector<std::string> compared;
            entries(entry, &compared);
            for (const std::string& run : compared) {
                if (runFolder(entry / run)) continue;
                *error = noRun("", entry / run);
                return false;
            }
            continue;
        }
        if (runFolder(entry)) continue;
        *error = noRun(folder.string() + " ", entry);
        return false;
    }
    return true;
}

bool writeTwinRuns(const std::vector<DealtBoard>& dealt, const std::vector<std::string>& runs,
                   std::string* error) {
    for (const DealtBoard& board : dealt) {
        if (board.standIn.empty()) continue;
        for (const std::string& folder : runs) {
            const fs::path run = fs::path(folder) / board.name;
            std::error_code failed;
            fs::remove_all(run, failed);
            fs::create_directories(run, failed);
            std::ofstream twinOf(run / "twin-of");
            twinOf << board.standIn << "\n";
            if (failed || !twinOf.flush()) {
                *error = "can't write " + (run / "twin-of").string();
                return false;
            }
        }
    }
    return true;
}

bool dealBoards(const DealRequest& request, std::vector<DealtBoard>* dealt, std::string* error) {
    std::vector<std::string> names;
    if (!checkNames(request, &names, error) || !checkRuns(request, error)) return false;
    // The distinct boards in the order their first boards come, dealt out to the parts in
    // turn; a board whose folder can't be read whole is one of its own (its seeding says why).
    std::unordered_map<std::string, std::size_t> first;
    std::vector<std::size_t> rank(names.size());
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string key = twinKey(request.folders[i], request.images).key;
        std::string standIn;
        if (auto known = key.empty() ? first.end() : first.find(key); known != first.end()) {
            rank[i] = rank[known->second];
            standIn = names[known->second];
        } else {
            rank[i] = distinct++;
            if (!key.empty()) first.emplace(key, i);
        }
        if (rank[i] % request.shard.parts != request.shard.part - 1) continue;
        dealt->push_back({i + 1, names[i], standIn, request.folders[i]});
    }
    if (dealt->empty()) {
        *error = "part " + std::to_string(request.shard.part) + "/" +
                 std::to_string(request.shard.parts) + " of these boards holds none";
        return false;
    }
    return true;
}

}  // namespace rehearse
