// rehearse: what an update image did on each simulated board of a rehearsal
// (scripts/rehearse.sh runs the boards; this program reads their runs and reports).
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/build_time.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "tools/common/numbers.h"
#include "tools/rehearse/plan.h"
#include "tools/rehearse/report_watch.h"

namespace {

constexpr int kExitUsage = 2;

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: rehearse [OPTIONS] RUNS_DIR BOARD_DIR...\n"
        "       rehearse --watch   (on the board, beside the daemon)\n"
        "Reports what an update image did on each board of a rehearsal: RUNS_DIR/NAME holds\n"
        "the run of the board folder BOARD_DIR (NAME: the folder's name), as scripts/rehearse.sh\n"
        "keeps it. The boards that the image treats alike are grouped; each board's timeline\n"
        "goes to RUNS_DIR/NAME/timeline.svg.\n"
        "\n"
        "Options:\n"
        "  -i, --image FILE          the image rehearsed (its name and SHA-256 are reported)\n"
        "  -s, --at-speed            the runs went at the board's speed: measure the durations\n"
        "                            instead of predicting them from quick runs\n"
        "  -j, --json FILE           write the report as JSON (\"-\": standard output, no text)\n"
        "  -p, --page FILE           write the report as an HTML page with the timelines\n"
        "  -c, --compare-image FILE  another image rehearsed on the same boards, whose runs\n"
        "  -r, --compare-runs DIR    are in DIR/NAME: what IMAGE does differently, board by\n"
        "                            board\n"
        "  -w, --watch               on the board: write a line to standard output when the\n"
        "                            update report shows a step begun and at its end, with the\n"
        "                            time and the daemon's processor time (/tmp/daemon.pid);\n"
        "                            ends there or when /tmp/peer.done appears\n"
        "  -l, --stamp-lines         on the board: copy standard input's lines to standard\n"
        "                            output, each after the time and the daemon's processor\n"
        "                            time, as --watch gives them\n"
        "  -h, --help                show this help\n"
        "  -V, --version             show the version of the tool and of its build\n"
        "\n"
        "Exit status: 0 every board ended OK; 1 a board ended NOK; 2 usage error, a file that\n"
        "can't be read or written, a run's line that can't be read (said with its file and\n"
        "line), a folder of runs that isn't there, or a board folder that is wrong; 3 a run\n"
        "broke (no final notice came).\n");
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
    SignatureBlock block{};
    switch (parseSignatureBlock(image.subspan(file0.offset, file0.size), &block)) {
        case SignatureBlockParse::Absent:
            return "unsigned";
        case SignatureBlockParse::Damaged:
            return "damaged signature block";
        case SignatureBlockParse::Found:
            break;
    }
    return "key " + std::string(updateKeyIdText(block.keyId).data()) + ", security version " +
           std::to_string(block.securityVersion);
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

std::string boardName(const std::string& folder) {
    std::filesystem::path path = std::filesystem::weakly_canonical(folder);
    return path.filename().string();
}

std::vector<BoardFacts> readBoards(const std::string& runs, const std::vector<std::string>& folders,
                                   bool atSpeed) {
    std::vector<BoardFacts> boards;
    const BoardSpeeds speeds = boardSpeeds();
    for (const std::string& folder : folders) {
        std::string name = boardName(folder);
        boards.push_back(readBoardFacts(runs + "/" + name, name, folder, atSpeed, speeds));
    }
    return boards;
}

bool writeFile(const std::string& path, const std::string& text) {
    if (path == "-") return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
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
    bool atSpeed = false, watch = false, stampLines = false;
    std::string runs;
    std::vector<std::string> folders;
};

// The command line into rehearsal; an exit status when the program ends here (help, version, a
// usage error).
std::optional<int> readArguments(int argc, char** argv, Rehearsal* rehearsal) {
    auto& [imagePath, jsonPath, pagePath, compareImage, compareRuns, atSpeed, watch, stampLines,
           runs, folders] = *rehearsal;
    const option options[] = {{"image", required_argument, nullptr, 'i'},
                              {"at-speed", no_argument, nullptr, 's'},
                              {"json", required_argument, nullptr, 'j'},
                              {"page", required_argument, nullptr, 'p'},
                              {"compare-image", required_argument, nullptr, 'c'},
                              {"compare-runs", required_argument, nullptr, 'r'},
                              {"watch", no_argument, nullptr, 'w'},
                              {"stamp-lines", no_argument, nullptr, 'l'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'V'},
                              {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+i:sj:p:c:r:wlhV", options, nullptr)) != -1;) {
        switch (c) {
            case 'i':
                imagePath = optarg;
                break;
            case 's':
                atSpeed = true;
                break;
            case 'j':
                jsonPath = optarg;
                break;
            case 'p':
                pagePath = optarg;
                break;
            case 'c':
                compareImage = optarg;
                break;
            case 'r':
                compareRuns = optarg;
                break;
            case 'w':
                watch = true;
                break;
            case 'l':
                stampLines = true;
                break;
            case 'h':
                printUsage(stdout);
                return 0;
            case 'V':
                std::printf("rehearse (BT-LAP update) %s\nbuilt from %s\n", BTLAP_VERSION,
                            kBuildId);
                return 0;
            default:
                return usageError(std::string("unknown option or missing value: ") +
                                  argv[optind - 1]);
        }
    }
    if (watch || stampLines) {
        if (optind != argc) return usageError("--watch and --stamp-lines take no arguments");
        return std::nullopt;
    }
    if (argc - optind < 2) return usageError("expected RUNS_DIR and at least one BOARD_DIR");
    if (compareImage.empty() != compareRuns.empty())
        return usageError("--compare-image and --compare-runs go together");
    runs = argv[optind];
    folders.assign(argv + optind + 1, argv + argc);
    return std::nullopt;
}

int rehearse(const Rehearsal& rehearsal) {
    const auto& [imagePath, jsonPath, pagePath, compareImage, compareRuns, atSpeed, watch,
                 stampLines, runs, folders] = rehearsal;
    if (stampLines) return ::stampLines(stdin, stdout) ? 0 : 1;
    if (watch) {
        if (watchReport(stdout, "peer.done")) return 0;
        std::fprintf(stderr, "rehearse: can't watch /tmp: %s\n", std::strerror(errno));
        return 1;
    }
    if (!runsFolderFound(runs) || (!compareRuns.empty() && !runsFolderFound(compareRuns)))
        return kExitUsage;

    Plan plan;
    plan.measured = atSpeed;
    if (!imagePath.empty() && !readImage(imagePath, &plan.image))
        return fileError("read the image " + imagePath);
    plan.boards = readBoards(runs, folders, atSpeed);
    plan.groups = groupBoards(plan.boards);
    if (!compareImage.empty()) {
        Comparison comparison;
        if (!readImage(compareImage, &comparison.oldImage))
            return fileError("read the image " + compareImage);
        comparison.oldBoards = readBoards(compareRuns, folders, atSpeed);
        comparison.groups = compareFleets(comparison.oldBoards, plan.boards);
        plan.comparison = std::move(comparison);
    }
    for (const BoardFacts& board : plan.boards) {
        std::string svg = timelineSvg(board, plan.image.name + " on " + board.name, atSpeed);
        if (!svg.empty() && !writeFile(runs + "/" + board.name + "/timeline.svg", svg))
            return fileError("write " + runs + "/" + board.name + "/timeline.svg");
    }
    if (jsonPath != "-") std::fputs(planText(plan).c_str(), stdout);
    if (!jsonPath.empty() && !writeFile(jsonPath, planJson(plan, BTLAP_VERSION)))
        return fileError("write " + jsonPath);
    if (!pagePath.empty() && !writeFile(pagePath, planPage(plan)))
        return fileError("write " + pagePath);
    return planStatus(plan);
}
}  // namespace

int main(int argc, char** argv) {
    try {
        Rehearsal rehearsal;
        if (std::optional<int> done = readArguments(argc, argv, &rehearsal)) return *done;
        return rehearse(rehearsal);
    } catch (const BadInputLine& bad) {
        std::fprintf(stderr, "rehearse: %s\n", bad.message().c_str());
        return kExitUsage;
    }
}
