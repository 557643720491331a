// rehearse: what an update image did on each simulated board of a rehearsal
// (scripts/rehearse.sh runs the boards; this program reads their runs and reports).
#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/build_time.h"
#include "image/image_header.h"
#include "tools/common/input_file.h"
#include "tools/common/numbers.h"
#include "tools/common/signature_words.h"
#include "tools/rehearse/board_deal.h"
#include "tools/rehearse/board_order.h"
#include "tools/rehearse/plan.h"
#include "tools/rehearse/plan_merge.h"
#include "tools/rehearse/report_watch.h"
#include "tools/rehearse/twin_key.h"

namespace {

constexpr int kExitUsage = 2;
// A list of board folders as long as a fleet of a million boards gives.
constexpr std::size_t kMostBoardsListed = std::size_t{256} << 20;

using rehearse::boardName;

void printSynopsis(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: rehearse [OPTIONS] RUNS_DIR [BOARD_DIR...]\n"
        "       rehearse [--json FILE] [--page FILE] [--out DIR] --merge PART.json...\n"
        "       rehearse --deal [--image FILE] [--compare-image FILE] [--shard K/N] [--as NAME]\n"
        "                RUNS_DIR [BOARD_DIR...]\n"
        "       rehearse --watch   (on the board, beside the daemon)\n"
        "Reports what an update image did on each board of a rehearsal: RUNS_DIR/NAME holds\n"
        "the run of the board folder BOARD_DIR (NAME: the folder's name), as scripts/rehearse.sh\n"
        "keeps it. The boards that the image treats alike (the same outcome, failures and\n"
        "changes) form a group, named for what the update does to it, failures first; the groups\n"
        "of one outcome are shown first as its kind, with what its groups differ in (NOK at Read\n"
        "PS-Keys: 2,000 boards in 10 groups, which differ in: /etc/service.txt). Each group is\n"
        "shown once: where its boards differ, the pieces taken from the sample board, the\n"
        "outcome (after NOK, each failed step's reasons), the version table's decisions, the\n"
        "PS-Keys (the image's apart from those the daemon sets by itself), firmware, flash\n"
        "sectors and /etc lines the update changed (the board's own records it removed marked as\n"
        "lost), the board's trust (its update keys before and after with their roles, who signed\n"
        "the image and the daemon's verdict, its security version and key-set version before and\n"
        "after; a key set that the board's keys refused names its group: NOK at Update keys, key\n"
        "set refused), and the duration predicted at the board's speed (module line at 115200\n"
        "baud, the flash's typical times, the firmware's download), step by step; then a table\n"
        "over all boards. Twins (see --deal) are reported each under its own name, each group\n"
        "saying what its twins differed in. Each board's timeline goes to\n"
        "RUNS_DIR/NAME/timeline.svg. The boards are listed in their names' order, the numbers in\n"
        "a name by their value (lap-3, lap-20, lap-100), however they were given.\n"
        "\n");
}

void printOptions(std::FILE* out) {
    std::fprintf(
        out,
        "Options:\n"
        "  -i, --image FILE          the image rehearsed (its name and SHA-256 are reported)\n"
        "  -s, --at-speed            the runs went at the board's speed: measure the durations\n"
        "                            instead of predicting them from quick runs\n"
        "  -j, --json FILE           write the report as JSON (\"-\": standard output, no text;\n"
        "                            format version 2: each run's facts once, the boards\n"
        "                            referring to their run)\n"
        "  -p, --page FILE           write the report as an HTML page with the timelines (its\n"
        "                            table of boards drawn by a script from a list embedded\n"
        "                            once), and say so last: page: FILE (unless the JSON goes\n"
        "                            to standard output)\n"
        "  -c, --compare-image FILE  another image rehearsed on the same boards, whose runs\n"
        "  -r, --compare-runs DIR    are in DIR/NAME: what IMAGE does differently, board by\n"
        "                            board\n"
        "  -B, --board DIR           a board's folder, after the BOARD_DIRs; may be given many\n"
        "                            times, as may the two below, in the order the boards come\n"
        "  -f, --fleet DIR           every folder in DIR (in its names' byte order) that holds a\n"
        "                            board's piece (etc/, module.psr, flash or flash.bin)\n"
        "  -b, --boards-from FILE    the board folders, one a line (\"-\": standard input)\n"
        "  -D, --dealt FILE          the boards as --deal gave them: the part's with --shard\n"
        "  -S, --shard K/N           the boards are part K of N of a fleet; the JSON says so,\n"
        "                            for --merge\n"
        "  -m, --merge               join the plans of the parts of a fleet (their JSON) into\n"
        "                            the plan of the whole, as one run over it gives\n"
        "  -o, --out DIR             with --merge: the rehearsal's folder, made and checked as\n"
        "                            --deal's RUNS_DIR\n"
        "  -d, --deal                say the fleet's count of boards, then which boards to run,\n"
        "                            in the boards' order, a line each: its place (from 1), its\n"
        "                            name, \"-\" or the board whose run stands for it (its twin:\n"
        "                            their folders differ only in values that no step of the\n"
        "                            images reads or writes), and its folder, apart by tabs;\n"
        "                            with --shard only the boards of part K: the distinct boards\n"
        "                            in turn to the N parts, twins with the first. RUNS_DIR is\n"
        "                            made; each twin's run in it (and in RUNS_DIR/compared with\n"
        "                            --compare-image) made anew, holding only twin-of, its\n"
        "                            stand-in's name. Refused: boards named alike, a board\n"
        "                            folder in RUNS_DIR or RUNS_DIR in one or in a fleet, a\n"
        "                            RUNS_DIR that is a link or holds anything but rehearsals'\n"
        "                            runs, compared/, pages and JSON (nothing else in it is ever\n"
        "                            removed)\n"
        "  -a, --as NAME             say the errors of the boards and of the folders as NAME's\n"
        "                            (the script that deals)\n"
        "  -w, --watch               on the board: write a line to standard output when the\n"
        "                            update report shows a step begun and at its end, with the\n"
        "                            time and the daemon's processor time (/tmp/daemon.pid);\n"
        "                            ends there or when /tmp/peer.done appears\n"
        "  -l, --stamp-lines         on the board: copy standard input's lines to standard\n"
        "                            output, each after the time and the daemon's processor\n"
        "                            time, as --watch gives them\n"
        "  -h, --help                show this help\n"
        "  -V, --version             show the version of the tool and of its build\n"
        "\n");
}

void printUsage(std::FILE* out) {
    printSynopsis(out);
    printOptions(out);
    std::fprintf(
        out,
        "Exit status: 0 every board ended OK; 1 a board ended NOK; 2 usage error, a file that\n"
        "can't be read or written, a run's line that can't be read (said with its file and\n"
        "line), a folder of runs that isn't there, a part that isn't one of the same plan, or a\n"
        "board folder that is wrong; 3 a run broke (no final notice came).\n");
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "rehearse: %s (see rehearse --help)\n", message.c_str());
    return kExitUsage;
}

// A file that can't be read or written: said with the reason, the same status as a usage error.
int fileError(const std::string& what) {
    std::fprintf(stderr, "rehearse: can't %s: %s\n", what.c_str(), std::strerror(errno));
    return kExitUsage;
}

// Who signed the image, as file 0's signature block says; "" when it has no file 0.
std::string imageSigner(const std::string& bytes) {
    std::span<const std::uint8_t> image(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                        bytes.size());
    ImageFile file0{};
    if (!locateImageFile(image, 0, &file0)) return "";
    return signatureBlockWords(image.subspan(file0.offset, file0.size));
}

bool readImage(const std::string& path, ImageId* image) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    image->name = std::filesystem::path(path).filename().string();
    image->sha256 = sha256Hex(bytes);
    image->signer = imageSigner(bytes);
    return true;
}

std::vector<BoardFacts> readBoards(const std::string& runs, const std::vector<std::string>& folders,
                                   bool atSpeed) {
    std::vector<BoardFacts> boards;
    boards.reserve(folders.size());
    const BoardSpeeds speeds = boardSpeeds();
    RunCache cache;
    for (const std::string& folder : folders) {
        std::string name = boardName(folder);
        boards.push_back(readBoardFacts(runs + "/" + name, name, folder, atSpeed, speeds, &cache));
    }
    return boards;
}

bool writeFile(const std::string& path, const std::string& text) {
    if (path == "-") return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

// A file ("-": standard output) written a piece at a time by write: a fleet's plan is large.
bool writePieces(const std::string& path,
                 const std::function<void(const std::function<void(const std::string&)>&)>& write) {
    std::FILE* out = path == "-" ? stdout : std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    bool written = true;
    write([&](const std::string& piece) {
        written = written && std::fwrite(piece.data(), 1, piece.size(), out) == piece.size();
    });
    written = std::fflush(out) == 0 && written;
    return (out == stdout || std::fclose(out) == 0) && written;
}

// A folder of runs that isn't there is a wrong argument, not a run that broke.
bool runsFolderFound(const std::string& runs) {
    std::error_code error;
    if (std::filesystem::is_directory(runs, error)) return true;
    std::fprintf(stderr, "rehearse: %s: no folder of runs there\n", runs.c_str());
    return false;
}

// What the command line asks for.
struct Rehearsal {
    std::string imagePath, jsonPath, pagePath, compareImage, compareRuns;
    std::string shard, dealtPath, outPath;
    std::string as = "rehearse";  // who says the errors of --deal and --out
    bool atSpeed = false, watch = false, stampLines = false;
    bool merge = false, deal = false;
    // --board, --fleet and --boards-from, in the order given: a fleet's order is its boards'.
    std::vector<std::pair<int, std::string>> sources;
    std::vector<std::string> fleets;
    std::string runs;
    std::vector<std::string> folders;    // with --merge the parts
    std::vector<std::size_t> positions;  // of the boards from --dealt, in the fleet
    std::size_t fleetBoards = 0;
};

// An error of the boards or the folder of runs, as the one that deals says it (--as).
int sayError(const Rehearsal& rehearsal, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", rehearsal.as.c_str(), message.c_str());
    return kExitUsage;
}

std::optional<int> readList(const std::string& path, std::string* text) {
    std::string error;
    if (readInputFile(path, text, &error, kMostBoardsListed)) return std::nullopt;
    std::fprintf(stderr, "rehearse: %s\n", error.c_str());
    return kExitUsage;
}

// The board folders of --board, --fleet and --boards-from, after those given as arguments.
std::optional<int> readSources(Rehearsal* rehearsal) {
    std::error_code failed;
    for (const auto& [option, path] : rehearsal->sources) {
        std::string text, error;
        if (option == 'B' && !std::filesystem::is_directory(path, failed))
            return sayError(*rehearsal, "no board folder " + path);
        if (option == 'B') rehearsal->folders.push_back(path);
        if (option == 'f' && !rehearse::fleetBoards(path, &rehearsal->folders, &error))
            return sayError(*rehearsal, error);
        if (option == 'f') rehearsal->fleets.push_back(path);
        if (option != 'b') continue;
        if (path != "-" && !std::filesystem::is_regular_file(path, failed))
            return sayError(*rehearsal, "no list of board folders " + path);
        if (std::optional<int> wrong = readList(path, &text)) return wrong;
        for (std::string& line : splitLines(text))
            if (!line.empty()) rehearsal->folders.push_back(std::move(line));
    }
    return std::nullopt;
}

// The boards of --dealt: the fleet's count of boards, then a line for each as --deal says it.
std::optional<int> readDealt(Rehearsal* rehearsal) {
    std::string text;
    if (rehearsal->dealtPath.empty()) return std::nullopt;
    if (std::optional<int> wrong = readList(rehearsal->dealtPath, &text)) return wrong;
    const std::vector<std::string> lines = splitLines(text);
    std::optional<std::uint64_t> size = lines.empty() ? std::nullopt : unsignedNumber(lines[0]);
    // (A fleet's count of boards, which even a 32-bit build holds.)
    if (!size || *size > 1000000000)
        return usageError(rehearsal->dealtPath + ": no count of the fleet's boards first");
    rehearsal->fleetBoards = static_cast<std::size_t>(*size);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        const std::size_t tab = line.find('\t'),
                          folder = line.find('\t', line.find('\t', tab + 1) + 1);
        std::optional<std::uint64_t> position = unsignedNumber(line.substr(0, tab));
        if (!position || *position < 1 || *position > *size || folder == std::string::npos)
            return usageError(rehearsal->dealtPath + ": not a board as --deal says it: " + line);
        rehearsal->positions.push_back(static_cast<std::size_t>(*position));
        rehearsal->folders.push_back(line.substr(folder + 1));
    }
    return std::nullopt;
}

// The arguments after the options.
std::optional<int> readOperands(int argc, char** argv, Rehearsal* rehearsal) {
    // Each of these is a program of its own: two at once would do one and drop the other.
    const int modes = rehearsal->watch + rehearsal->stampLines + rehearsal->merge + rehearsal->deal;
    if (modes > 1)
        return usageError("--watch, --stamp-lines, --merge and --deal: give one of them");
    if (rehearsal->watch || rehearsal->stampLines) {
        if (optind != argc) return usageError("--watch and --stamp-lines take no arguments");
        return std::nullopt;
    }
    if (rehearsal->merge) {
        if (optind == argc) return usageError("expected at least one file or folder");
        rehearsal->folders.assign(argv + optind, argv + argc);
        return std::nullopt;
    }
    if (argc - optind < (rehearsal->sources.empty() && rehearsal->dealtPath.empty() ? 2 : 1))
        return usageError("expected RUNS_DIR and at least one BOARD_DIR");
    if (!rehearsal->deal && rehearsal->compareImage.empty() != rehearsal->compareRuns.empty())
        return usageError("--compare-image and --compare-runs go together");
    if (!rehearsal->deal && !rehearsal->shard.empty() && rehearsal->dealtPath.empty())
        return usageError("--shard takes its boards from --dealt");
    rehearsal->runs = argv[optind];
    rehearsal->folders.assign(argv + optind + 1, argv + argc);
    if (std::optional<int> wrong = readSources(rehearsal)) return wrong;
    if (std::optional<int> wrong = readDealt(rehearsal)) return wrong;
    if (rehearsal->folders.empty()) return sayError(*rehearsal, "no board folder given");
    return std::nullopt;
}

// The command line into rehearsal; an exit status when the program ends here (help, version, a
// usage error).
std::optional<int> readArguments(int argc, char** argv, Rehearsal* rehearsal) {
    const option options[] = {{"image", required_argument, nullptr, 'i'},
                              {"at-speed", no_argument, nullptr, 's'},
                              {"json", required_argument, nullptr, 'j'},
                              {"page", required_argument, nullptr, 'p'},
                              {"compare-image", required_argument, nullptr, 'c'},
                              {"compare-runs", required_argument, nullptr, 'r'},
                              {"shard", required_argument, nullptr, 'S'},
                              {"dealt", required_argument, nullptr, 'D'},
                              {"merge", no_argument, nullptr, 'm'},
                              {"out", required_argument, nullptr, 'o'},
                              {"board", required_argument, nullptr, 'B'},
                              {"fleet", required_argument, nullptr, 'f'},
                              {"boards-from", required_argument, nullptr, 'b'},
                              {"as", required_argument, nullptr, 'a'},
                              {"deal", no_argument, nullptr, 'd'},
                              {"watch", no_argument, nullptr, 'w'},
                              {"stamp-lines", no_argument, nullptr, 'l'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    Rehearsal& r = *rehearsal;
    const std::map<int, std::string*> values = {
        {'i', &r.imagePath},    {'j', &r.jsonPath},    {'p', &r.pagePath},
        {'c', &r.compareImage}, {'r', &r.compareRuns}, {'S', &r.shard},
        {'D', &r.dealtPath},    {'o', &r.outPath},     {'a', &r.as}};
    const std::map<int, bool*> flags = {
        {'s', &r.atSpeed}, {'w', &r.watch}, {'l', &r.stampLines}, {'m', &r.merge}, {'d', &r.deal}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+i:sj:p:c:r:S:D:mo:B:f:b:a:dwlhV", options,
                                 nullptr)) != -1;) {
        if (auto value = values.find(c); value != values.end()) {
            *value->second = optarg;
        } else if (c == 'B' || c == 'f' || c == 'b') {
            r.sources.emplace_back(c, optarg);
        } else if (auto flag = flags.find(c); flag != flags.end()) {
            *flag->second = true;
        } else if (c == 'h') {
            printUsage(stdout);
            return 0;
        } else if (c == 'V') {
            std::printf("rehearse (BT-LAP update) %s\nbuilt from %s\n", BTLAP_VERSION, kBuildId);
            return 0;
        } else {
            return usageError(std::string("unknown option or missing value: ") + argv[optind - 1]);
        }
    }
    return readOperands(argc, argv, rehearsal);
}

// The plan as text (unless the JSON goes to standard output), JSON and page.
int writePlan(const Plan& plan, const Rehearsal& rehearsal) {
    using Write = std::function<void(const std::string&)>;
    if (rehearsal.jsonPath != "-")
        writePlanText(plan, [](const std::string& piece) { std::fputs(piece.c_str(), stdout); });
    if (!rehearsal.jsonPath.empty() && !writePieces(rehearsal.jsonPath, [&](const Write& write) {
            writePlanJson(plan, BTLAP_VERSION, write);
        }))
        return fileError("write " + rehearsal.jsonPath);
    if (!rehearsal.pagePath.empty() &&
        !writePieces(rehearsal.pagePath, [&](const Write& write) { writePlanPage(plan, write); }))
        return fileError("write " + rehearsal.pagePath);
    if (!rehearsal.pagePath.empty() && rehearsal.jsonPath != "-")
        std::printf("page: %s\n", rehearsal.pagePath.c_str());
    return planStatus(plan);
}

// The reach of the images rehearsed: the image and the compared one.
std::vector<rehearse::ImageReach> imageReaches(const Rehearsal& rehearsal) {
    std::vector<rehearse::ImageReach> images{rehearse::readImageReach(rehearsal.imagePath)};
    if (!rehearsal.compareImage.empty())
        images.push_back(rehearse::readImageReach(rehearsal.compareImage));
    return images;
}

// The fleet's count of boards, then which boards run and which are twins of which, a line
// each; the twins' runs made.
int dealBoards(const Rehearsal& rehearsal) {
    rehearse::DealRequest request{
        rehearsal.folders, imageReaches(rehearsal), {}, rehearsal.runs, rehearsal.fleets};
    if (!rehearsal.shard.empty() && !parseShard(rehearsal.shard, &request.shard))
        return sayError(rehearsal, "--shard takes K/N, 1 <= K <= N, not '" + rehearsal.shard + "'");
    std::vector<rehearse::DealtBoard> dealt;
    std::string error;
    std::vector<std::string> runs{rehearsal.runs};
    if (!rehearsal.compareImage.empty()) runs.push_back(rehearsal.runs + "/compared");
    if (!rehearse::makeRunsFolder(rehearsal.runs, &error) ||
        !rehearse::dealBoards(request, &dealt, &error) ||
        !rehearse::writeTwinRuns(dealt, runs, &error))
        return sayError(rehearsal, error);
    std::printf("%zu\n", rehearsal.folders.size());
    for (const rehearse::DealtBoard& board : dealt)
        std::printf("%zu\t%s\t%s\t%s\n", board.position, board.name.c_str(),
                    board.standIn.empty() ? "-" : board.standIn.c_str(), board.folder.c_str());
    return std::fflush(stdout) == 0 ? 0 : fileError("write the boards");
}

// Each group's twins: what they differed in.
void noteTwinDifferences(const Rehearsal& rehearsal, Plan* plan) {
    const std::vector<rehearse::ImageReach> images = imageReaches(rehearsal);
    std::vector<rehearse::TwinKey> keys;
    keys.reserve(plan->boards.size());
    for (const BoardFacts& board : plan->boards)
        keys.push_back(rehearse::twinKey(board.folder, images));
    for (BoardGroup& group : plan->groups) {
        std::vector<const rehearse::TwinKey*> members;
        for (std::size_t i : group.members) members.push_back(&keys[i]);
        group.twinsDifferIn = rehearse::twinsDifferIn(members);
    }
}

int merge(const Rehearsal& rehearsal) {
    std::vector<Plan> parts(rehearsal.folders.size());
    std::string error;
    if (!rehearsal.outPath.empty() && !rehearse::makeRunsFolder(rehearsal.outPath, &error))
        return sayError(rehearsal, error);
    SharedRuns runs;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (readPlanJson(rehearsal.folders[i], &parts[i], &error, &runs)) continue;
        std::fprintf(stderr, "rehearse: %s\n", error.c_str());
        return kExitUsage;
    }
    Plan plan;
    if (!mergePlans(std::move(parts), rehearsal.folders, &plan, &error)) {
        std::fprintf(stderr, "rehearse: %s\n", error.c_str());
        return kExitUsage;
    }
    return writePlan(plan, rehearsal);
}

// The shard that the boards are, and each board's place in the fleet.
std::optional<int> readShard(const Rehearsal& rehearsal, Plan* plan) {
    if (rehearsal.shard.empty()) return std::nullopt;
    Shard shard;
    if (!parseShard(rehearsal.shard, &shard))
        return usageError("--shard takes K/N, 1 <= K <= N, not '" + rehearsal.shard + "'");
    if (rehearsal.positions.size() != rehearsal.folders.size())
        return usageError("--shard takes its boards from --dealt only");
    shard.fleetBoards = rehearsal.fleetBoards;
    plan->shard = shard;
    plan->positions = rehearsal.positions;
    return std::nullopt;
}

// The boards in their names' order, as every part of the plan lists them, each keeping its
// place among the folders as they were given (the fleet's, for a shard).
void orderByName(std::vector<std::string>* folders, std::vector<std::size_t>* positions) {
    if (positions->empty())
        for (std::size_t i = 0; i < folders->size(); ++i) positions->push_back(i + 1);
    std::vector<std::size_t> order(folders->size());
    std::vector<std::string> names;
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
        names.push_back(boardName((*folders)[i]));
    }
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return boardNameBefore(names[a], names[b]);
    });
    std::vector<std::string> sortedFolders;
    std::vector<std::size_t> sortedPositions;
    for (std::size_t i : order) {
        sortedFolders.push_back(std::move((*folders)[i]));
        sortedPositions.push_back((*positions)[i]);
    }
    *folders = std::move(sortedFolders);
    *positions = std::move(sortedPositions);
}

int runRehearsal(const Rehearsal& rehearsal) {
    const std::string& runs = rehearsal.runs;
    const bool atSpeed = rehearsal.atSpeed;
    if (rehearsal.stampLines) return ::stampLines(stdin, stdout) ? 0 : 1;
    if (rehearsal.watch) {
        if (watchReport(stdout, "peer.done")) return 0;
        std::fprintf(stderr, "rehearse: can't watch /tmp: %s\n", std::strerror(errno));
        return 1;
    }
    if (rehearsal.deal) return dealBoards(rehearsal);
    if (rehearsal.merge) return merge(rehearsal);
    if (!runsFolderFound(runs) ||
        (!rehearsal.compareRuns.empty() && !runsFolderFound(rehearsal.compareRuns)))
        return kExitUsage;

    Plan plan;
    plan.measured = atSpeed;
    if (std::optional<int> wrong = readShard(rehearsal, &plan)) return *wrong;
    if (!rehearsal.imagePath.empty() && !readImage(rehearsal.imagePath, &plan.image))
        return fileError("read the image " + rehearsal.imagePath);
    std::vector<std::string> folders = rehearsal.folders;
    orderByName(&folders, &plan.positions);
    plan.boards = readBoards(runs, folders, atSpeed);
    plan.groups = groupBoards(plan.boards);
    noteTwinDifferences(rehearsal, &plan);
    if (!rehearsal.compareImage.empty()) {
        Comparison comparison;
        if (!readImage(rehearsal.compareImage, &comparison.oldImage))
            return fileError("read the image " + rehearsal.compareImage);
        comparison.oldBoards = readBoards(rehearsal.compareRuns, folders, atSpeed);
        comparison.groups = compareFleets(comparison.oldBoards, plan.boards);
        plan.comparison = std::move(comparison);
    }
    // A twin's timeline is its stand-in's.
    for (const BoardFacts& board : plan.boards) {
        const std::string dir = runs + "/" + board.name;
        if (std::filesystem::exists(dir + "/twin-of")) continue;
        std::string svg = timelineSvg(board, plan.image.name + " on " + board.name, atSpeed);
        if (!svg.empty() && !writeFile(dir + "/timeline.svg", svg))
            return fileError("write " + dir + "/timeline.svg");
    }
    return writePlan(plan, rehearsal);
}
}  // namespace

int main(int argc, char** argv) {
    try {
        Rehearsal rehearsal;
        if (std::optional<int> done = readArguments(argc, argv, &rehearsal)) return *done;
        return runRehearsal(rehearsal);
    } catch (const BadInputLine& bad) {
        std::fprintf(stderr, "rehearse: %s\n", bad.message().c_str());
        return kExitUsage;
    }
}
