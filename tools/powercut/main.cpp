// powercut: the states a power cut could leave in the board's /etc during an update, from
// /etc before it and the operations that sim/recorder/etc_recorder.cpp logged, and whether
// each keeps the board whole (scripts/power-cut-check.sh runs the update and the reruns).
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "core/build_time.h"
#include "tools/common/input_file.h"
#include "tools/powercut/crash_model.h"
#include "tools/powercut/etc_checks.h"
#include "tools/powercut/folder_tree.h"

namespace {

constexpr int kExitUsage = 2;

void printUsage(std::FILE* out) {
    std::fputs(
        "Usage: powercut [OPTIONS] BEFORE LOG\n"
        "Builds the states a power cut could leave in the board's /etc at every point of the\n"
        "operations in LOG (the power-cut recorder's log), from the folder BEFORE (/etc before\n"
        "them), and checks each: the key set the board reads (through update-keys, a link to\n"
        "an update-keys.N beside it or a plain folder; with no update-keys on a board with\n"
        "update-keys.enrolled, the highest-numbered update-keys.N folder), the security\n"
        "version, service.txt and terminal.txt are each as before or as after, and what a\n"
        "sync made durable in its new form stays so.\n"
        "\n"
        "Not yet durable operations may be lost: a file's data and mode until the file is\n"
        "synced, a name until its folder is. Each cut point's states: all lost, none lost,\n"
        "the first K kept for every K, and each one alone lost.\n"
        "\n"
        "Options:\n"
        "  --root PATH   where BEFORE stands on the board (default /etc)\n"
        "  --after DIR   /etc after the logged run: it must be what the log makes of BEFORE\n"
        "                (the log missed nothing)\n"
        "  --out DIR     writes each distinct state as DIR/state-N/ (a new folder), and\n"
        "                DIR/states.txt: one line each, \"state-N refuses|takes CUT VARIANT\":\n"
        "                whether the board must refuse an unsigned image (it had keys or\n"
        "                update-keys.enrolled before the update, or the state has either),\n"
        "                the first cut point that leaves it and how\n"
        "  -h, --help    show this help\n"
        "  -V, --version show the version\n"
        "Exit status: 0 every state is whole, 1 a state is not, 2 usage error or unreadable\n"
        "input.\n",
        out);
}

std::string cutName(const powercut::Recording& recording, std::size_t cut) {
    if (cut == 0) return "cut 0 (before any operation)";
    return "cut " + std::to_string(cut) + " (after op " + std::to_string(cut) + ": " +
           recording.operations[cut - 1].text + ")";
}

struct Run {
    const powercut::Recording& recording;
    std::string root;
    std::string out;
    powercut::Watched before;
    powercut::Watched after;
    powercut::Watched committed;
    std::set<std::string> written;
    std::vector<std::size_t> failedCuts;
    std::string index;
};

// Checks the states of one cut point; writes the new ones; false when one is broken.
bool checkCut(Run& run, std::size_t cut) {
    std::vector<powercut::CrashState> states = powercut::crashStates(run.recording, cut);
    powercut::Watched durable = powercut::watchedOf(states.front().tree, run.root);
    for (auto piece : {&powercut::Watched::keys, &powercut::Watched::version,
                       &powercut::Watched::services, &powercut::Watched::terminal}) {
        if (durable.*piece == run.after.*piece) run.committed.*piece = run.after.*piece;
    }
    bool whole = true;
    for (const powercut::CrashState& state : states) {
        powercut::Watched watched = powercut::watchedOf(state.tree, run.root);
        std::vector<std::string> faults = powercut::brokenPieces(watched, run.before, run.after);
        for (const std::string& lost :
             powercut::rolledBack(watched, run.committed, run.before, run.after))
            faults.push_back(lost);
        for (const std::string& fault : faults)
            std::printf("%s, %s: %s\n", cutName(run.recording, cut).c_str(), state.variant.c_str(),
                        fault.c_str());
        whole = whole && faults.empty();
        std::string text = powercut::treeText(state.tree);
        if (!run.written.insert(text).second || run.out.empty()) continue;
        std::string name = "state-" + std::to_string(run.written.size());
        std::string error;
        if (!powercut::writeFolder(state.tree, run.out + "/" + name, &error)) {
            std::fprintf(stderr, "powercut: %s\n", error.c_str());
            std::exit(kExitUsage);
        }
        // A board keyed or enrolled before the update, or by it, must refuse unsigned images
        // from then on: once keyed, always keyed.
        bool refuses = watched.keyed || watched.enrolled || run.before.keyed || run.before.enrolled;
        run.index += name + (refuses ? " refuses " : " takes ") + std::to_string(cut) + " " +
                     state.variant + "\n";
    }
    if (!whole) run.failedCuts.push_back(cut);
    return whole;
}

// The folder after the run against what the log makes of the folder before.
bool logAccountsFor(const powercut::Recording& recording, const std::string& afterPath) {
    std::string error;
    std::optional<powercut::Tree> after = powercut::readFolder(afterPath, &error);
    if (!after) {
        std::fprintf(stderr, "powercut: %s\n", error.c_str());
        return false;
    }
    if (powercut::treeText(*after) == powercut::treeText(recording.final)) return true;
    std::fprintf(stderr,
                 "powercut: %s is not what the log makes of the folder before: the recorder "
                 "missed an operation\n--- the log's:\n%s--- the folder's:\n%s",
                 afterPath.c_str(), powercut::treeText(recording.final).c_str(),
                 powercut::treeText(*after).c_str());
    return false;
}

struct Options {
    std::string root = "/etc";
    std::string after;
    std::string out;
    std::string before;
    std::string log;
};

int parseOptions(int argc, char** argv, Options& options) {
    static const option kLong[] = {
        {"root", required_argument, nullptr, 'r'}, {"after", required_argument, nullptr, 'a'},
        {"out", required_argument, nullptr, 'o'},  {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},    {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "hV", kLong, nullptr)) != -1) {
        if (c == 'r') options.root = optarg;
        if (c == 'a') options.after = optarg;
        if (c == 'o') options.out = optarg;
        if (c == 'h') printUsage(stdout);
        if (c == 'V')
            std::printf("powercut (BT-LAP update) %s\nbuilt from %s\n", BTLAP_VERSION, kBuildId);
        if (c == 'h' || c == 'V') return 0;
        if (c == '?') return kExitUsage;
    }
    if (argc - optind != 2) {
        std::fputs("powercut: give the folder before and the log (see --help)\n", stderr);
        return kExitUsage;
    }
    options.before = argv[optind];
    options.log = argv[optind + 1];
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (int status = parseOptions(argc, argv, options); status >= 0) return status;
    std::string error;
    std::string log;
    std::optional<powercut::Tree> before = powercut::readFolder(options.before, &error);
    if (!before || !readInputFile(options.log, &log, &error)) {
        std::fprintf(stderr, "powercut: %s\n", error.c_str());
        return kExitUsage;
    }
    std::optional<powercut::Recording> recording =
        powercut::readRecording(*before, options.root, log, &error);
    if (!recording) {
        std::fprintf(stderr, "powercut: %s: %s\n", options.log.c_str(), error.c_str());
        return kExitUsage;
    }
    if (!options.after.empty() && !logAccountsFor(*recording, options.after)) return kExitUsage;
    if (!options.out.empty() && !std::filesystem::create_directory(options.out)) {
        std::fprintf(stderr, "powercut: %s: can't make it (it must not exist)\n",
                     options.out.c_str());
        return kExitUsage;
    }
    Run run{*recording,
            options.root,
            options.out,
            powercut::watchedOf(recording->initial, options.root),
            powercut::watchedOf(recording->final, options.root),
            {},
            {},
            {},
            {}};
    run.committed = run.before;
    std::size_t cuts = recording->operations.size() + 1;
    for (std::size_t cut = 0; cut < cuts; ++cut) checkCut(run, cut);
    if (!options.out.empty()) {
        std::FILE* index = std::fopen((options.out + "/states.txt").c_str(), "w");
        if (index == nullptr || std::fputs(run.index.c_str(), index) < 0 ||
            std::fclose(index) != 0) {
            std::fprintf(stderr, "powercut: can't write %s/states.txt\n", options.out.c_str());
            return kExitUsage;
        }
    }
    std::printf("%zu operations, %zu cut points, %zu distinct states; %zu cut points broken\n",
                recording->operations.size(), cuts, run.written.size(), run.failedCuts.size());
    return run.failedCuts.empty() ? 0 : 1;
}
