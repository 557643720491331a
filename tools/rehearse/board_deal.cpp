#include "tools/rehearse/board_deal.h"

#include <filesystem>
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

// Nor may the runs lie in a board's folder, or a board's folder in the runs: a new rehearsal
// removes what its runs' folders hold.
bool checkRuns(const DealRequest& request, std::string* error) {
    if (request.runs.empty()) return true;
    std::error_code failed;
    const fs::path runs = fs::weakly_canonical(request.runs, failed);
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
