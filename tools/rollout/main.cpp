// rollout: the decisions of a rollout in waves (scripts/rollout.sh runs the boards): which
// boards a wave takes, what each board did against its rehearsed plan, when the rollout halts,
// and the field's status.
#include <fcntl.h>
#include <getopt.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/build_time.h"
#include "image/sha256.h"
#include "tools/common/formatted.h"
#include "tools/common/input_file.h"
#include "tools/rollout/field_facts.h"
#include "tools/rollout/field_status.h"
#include "tools/rollout/plan_compare.h"
#include "tools/rollout/plan_facts.h"
#include "tools/rollout/rollout_state.h"

// The tool's own names, apart from the other tools' in the tests' one program.
using namespace rollout;

namespace {

constexpr int kExitUsage = 2;

void printUsage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: rollout init [OPTIONS] --plan PLAN.json --boards FILE --image IMAGE STATE\n"
        "       rollout next STATE | may-start STATE BOARD | begin STATE BOARD\n"
        "       rollout holds STATE BOARD DATA_TXT\n"
        "       rollout record STATE BOARD DIR | retry STATE BOARD | resume [OPTIONS] STATE\n"
        "       rollout status [--json FILE] [--page FILE] STATE\n"
        "Decides a rollout of an update image in waves (scripts/rollout.sh runs the boards):\n"
        "the state file STATE lists every board with its wave and, once it has run, what it\n"
        "did against its rehearsed plan (scripts/rehearse.sh --json).\n"
        "\n"
        "Commands:\n"
        "  init       make STATE (which must not exist) from the plan, the boards (one a line:\n"
        "             HOST BOARD_DIR, the folder the plan rehearsed; # begins a comment) and\n"
        "             the image, which must be the plan's\n"
        "  next       print the next wave's number, then its boards not yet run, one a line\n"
        "             (BOARD HOST FOLDER, tab-separated); nothing when every wave is done;\n"
        "             exit status 1 when the rollout has halted\n"
        "  may-start  exit status 0 when BOARD has not run and the rollout has not halted\n"
        "  begin      mark BOARD's update under way (exit status 0), unless the rollout has\n"
        "             halted or BOARD has run (1): a rollout stopped during it leaves it so,\n"
        "             and a resume doesn't update it again\n"
        "  holds      exit status 0 when the board's /etc/data.txt (DATA_TXT, fetched off it)\n"
        "             names the image's versions already, read as the update's version check\n"
        "             reads them (the plan's version table): BOARD is marked already updated\n"
        "             and is not updated again\n"
        "  record     hold what BOARD did (DIR, fetched by scripts/rollout.sh) to its plan,\n"
        "             keep it in STATE, print one line, and halt the rollout when the boards\n"
        "             that went wrong exceed the limits\n"
        "  retry      run BOARD again at the next resume: a board under way (once the\n"
        "             operator has seen that its update ended, or never began), unreachable\n"
        "             or not answering\n"
        "  resume     let a halted rollout go on: the boards that went wrong so far no longer\n"
        "             count toward the limits (which OPTIONS may change)\n"
        "  status     print the field's status; --json FILE, --page FILE write it as JSON\n"
        "             (rollout.schema.json) and as an HTML page (\"-\": standard output)\n"
        "\n"
        "Options:\n"
        "  -w, --waves LIST           each wave takes the rollout up to that many boards, or\n"
        "                             that share of them (default 1,5%%,25%%,100%%)\n"
        "  -u, --max-unexpected N|P%%  halt once more boards than this ended unlike their\n"
        "                             plan, were not reached or had no daemon answering\n"
        "                             (default 0: the first surprise halts)\n"
        "  -n, --max-nok N|P%%         halt once more boards than this ended NOK, as planned\n"
        "                             or not (default: no limit)\n"
        "  -p, --plan FILE            the plan's JSON\n"
        "  -b, --boards FILE          the boards\n"
        "  -i, --image FILE           the image\n"
        "  -j, --json FILE            with status: the JSON status\n"
        "  -P, --page FILE            with status: the HTML page\n"
        "  -h, --help                 show this help\n"
        "  -V, --version              show the version\n"
        "\n"
        "Exit status: 0 done (status: every board ended as its plan said); 1 status: the\n"
        "rollout halted, or a board ended unlike its plan, was not reached or had no daemon\n"
        "answering; next: the rollout has halted; may-start, begin, holds: no; 2 usage error\n"
        "or wrong input (a plan of another image, a board the plan lacks, a state that isn't\n"
        "one); 3 status: not every board has run yet.\n");
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "rollout: %s (see --help)\n", message.c_str());
    return kExitUsage;
}

int inputError(const std::string& message) {
    std::fprintf(stderr, "rollout: %s\n", message.c_str());
    return kExitUsage;
}

struct Options {
    std::optional<std::vector<Share>> waves;
    std::optional<Share> maxUnexpected, maxNok;
    std::string plan, boards, image, json, page;
    std::vector<std::string> words;
};

// Held while STATE is read, changed and written, so that boards recorded at the same time
// lose nothing of each other.
struct StateLock {
    int fd = -1;
    explicit StateLock(const std::string& state) {
        fd = open((state + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) flock(fd, LOCK_EX);
    }
    ~StateLock() {
        if (fd >= 0) close(fd);
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
};

// Reads the file at path and parses it into out with parse; false, said on stderr, when either
// fails.
template <typename Value>
bool loadInput(const std::string& path, Value* out,
               bool (*parse)(const std::string&, Value*, std::string*)) {
    std::string text, error;
    if (!readInputFile(path, &text, &error)) {
        std::fprintf(stderr, "rollout: %s\n", error.c_str());
        return false;
    }
    if (!parse(text, out, &error)) {
        std::fprintf(stderr, "rollout: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

bool loadState(const std::string& path, RolloutState* state) {
    return loadInput(path, state, readState);
}

bool saveState(const std::string& path, const RolloutState& state) {
    std::string error;
    if (writeDurably(path, stateJson(state), &error)) return true;
    std::fprintf(stderr, "rollout: %s\n", error.c_str());
    return false;
}

bool loadPlan(const std::string& path, Plan* plan) { return loadInput(path, plan, readPlan); }

BoardEntry* boardNamed(RolloutState& state, const std::string& name) {
    for (BoardEntry& board : state.boards)
        if (board.name == name) return &board;
    std::fprintf(stderr, "rollout: no board %s in the rollout\n", name.c_str());
    return nullptr;
}

// What a command on one board works on, under the state's lock for the command's life: the
// rollout's state at path, the plan where asked for, and the board named.
struct BoardCommand {
    explicit BoardCommand(const std::string& statePath) : path(statePath), lock(statePath) {}
    // Loads the state (and with withPlan its plan) and finds the board called name: false, said
    // on stderr, when any of them fails.
    bool open(const std::string& name, bool withPlan) {
        if (!loadState(path, &state) || (withPlan && !loadPlan(state.planPath, &plan)))
            return false;
        board = boardNamed(state, name);
        return board != nullptr;
    }
    bool save() const { return saveState(path, state); }

    const std::string path;
    StateLock lock;
    RolloutState state;
    Plan plan;
    BoardEntry* board = nullptr;
};

std::string hexDigest(const Sha256Digest& digest) {
    std::string text;
    for (std::uint8_t byte : digest) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", byte);
        text += hex;
    }
    return text;
}

// The boards' list: "HOST BOARD_DIR" a line, each board the plan's; false with the file and
// line in error otherwise.
bool readBoardList(const Plan& plan, const std::string& path, const std::string& list,
                   std::vector<BoardEntry>* boards, std::string* error) {
    std::size_t number = 0;
    std::set<std::string> names;
    for (const std::string& line : splitLines(list)) {
        ++number;
        std::size_t at = line.find_first_not_of(" \t");
        if (at == std::string::npos || line[at] == '#') continue;
        std::size_t end = line.find_first_of(" \t", at);
        std::size_t next = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
        if (next == std::string::npos) {
            *error = formatted("%s:%zu: expected HOST BOARD_DIR", path.c_str(), number);
            return false;
        }
        BoardEntry entry;
        entry.host = line.substr(at, end - at);
        entry.folder = line.substr(next, line.find_last_not_of(" \t") - next + 1);
        const PlannedBoard* planned = plannedBoard(plan, entry.folder);
        if (planned == nullptr) {
            *error = formatted("%s:%zu: the plan has no board %s", path.c_str(), number,
                               entry.folder.c_str());
            return false;
        }
        if (!names.insert(planned->name).second) {
            *error = formatted("%s:%zu: board %s given twice", path.c_str(), number,
                               planned->name.c_str());
            return false;
        }
        entry.name = planned->name;
        entry.planned = planned->outcome;
        boards->push_back(entry);
    }
    return true;
}

int init(const Options& options) {
    if (options.words.size() != 1 || options.plan.empty() || options.boards.empty() ||
        options.image.empty())
        return usageError("init takes --plan, --boards, --image and STATE");
    const std::string& path = options.words[0];
    if (std::filesystem::exists(path))
        return inputError(path + " exists: a rollout that has begun goes on with resume");
    Plan plan;
    if (!loadPlan(options.plan, &plan)) return kExitUsage;
    std::string image, list, error;
    if (!readInputFile(options.image, &image, &error) ||
        !readInputFile(options.boards, &list, &error))
        return inputError(error);
    RolloutState state;
    state.imageName = std::filesystem::path(options.image).filename().string();
    state.imageSha256 =
        hexDigest(sha256({reinterpret_cast<const std::uint8_t*>(image.data()), image.size()}));
    if (!plan.imageSha256.empty() && plan.imageSha256 != state.imageSha256)
        return inputError("the plan " + options.plan + " is of another image (" + plan.imageName +
                          ")");
    state.planPath = std::filesystem::absolute(options.plan).lexically_normal().string();
    state.waves = options.waves.value_or(*parseWaves("1,5%,25%,100%"));
    state.maxUnexpected = options.maxUnexpected.value_or(Share{0, false});
    state.maxNok = options.maxNok;
    if (!readBoardList(plan, options.boards, list, &state.boards, &error)) return inputError(error);
    if (state.boards.empty()) return inputError(options.boards + ": no boards");
    state.waveEnds = waveEnds(state.waves, state.boards.size());
    for (std::size_t i = 0, wave = 0; i < state.boards.size(); ++i) {
        while (wave < state.waveEnds.size() && i >= state.waveEnds[wave]) ++wave;
        // Boards beyond the last wave (waves short of 100%) stay out of this rollout: wave 0.
        state.boards[i].wave = wave < state.waveEnds.size() ? wave + 1 : 0;
    }
    return saveState(path, state) ? 0 : 1;
}

int next(const Options& options) {
    if (options.words.size() != 1) return usageError("next takes STATE");
    RolloutState state;
    if (!loadState(options.words[0], &state)) return kExitUsage;
    if (state.haltedWave) {
        std::fprintf(stderr, "rollout: halted in wave %zu: %s\n", *state.haltedWave,
                     state.haltReason.c_str());
        return 1;
    }
    std::optional<std::size_t> wave = nextWave(state);
    if (!wave) return 0;
    std::printf("%zu\n", *wave);
    for (const BoardEntry& board : state.boards)
        if (board.wave == *wave && board.status == kNotYet)
            std::printf("%s\t%s\t%s\n", board.name.c_str(), board.host.c_str(),
                        board.folder.c_str());
    return 0;
}

int mayStart(const Options& options) {
    if (options.words.size() != 2) return usageError("may-start takes STATE BOARD");
    RolloutState state;
    if (!loadState(options.words[0], &state)) return kExitUsage;
    BoardEntry* board = boardNamed(state, options.words[1]);
    if (board == nullptr) return kExitUsage;
    return !state.haltedWave && board->status == kNotYet ? 0 : 1;
}

int begin(const Options& options) {
    if (options.words.size() != 2) return usageError("begin takes STATE BOARD");
    BoardCommand command(options.words[0]);
    if (!command.open(options.words[1], false)) return kExitUsage;
    if (command.state.haltedWave || command.board->status != kNotYet) return 1;
    command.board->status = kUnderWay;
    return command.save() ? 0 : 1;
}

int holds(const Options& options) {
    if (options.words.size() != 3) return usageError("holds takes STATE BOARD DATA_TXT");
    BoardCommand command(options.words[0]);
    if (!command.open(options.words[1], true)) return kExitUsage;
    BoardEntry* board = command.board;
    if (board->status != kNotYet) return 1;
    const PlannedBoard* planned = plannedBoard(command.plan, board->folder);
    std::string text, error;
    if (planned == nullptr || !readInputFile(options.words[2], &text, &error)) return 1;
    if (!holdsUpdate(*planned, text)) return 1;
    board->status = kAlready;
    board->outcome.clear();
    board->differences.clear();
    if (!command.save()) return 1;
    std::printf("%s: %s\n", board->name.c_str(), kAlready);
    return 0;
}

int record(const Options& options) {
    if (options.words.size() != 3) return usageError("record takes STATE BOARD DIR");
    BoardCommand command(options.words[0]);
    if (!command.open(options.words[1], true)) return kExitUsage;
    RolloutState& state = command.state;
    BoardEntry* board = command.board;
    const PlannedBoard* planned = plannedBoard(command.plan, board->folder);
    if (planned == nullptr) return inputError("the plan has no board " + board->folder);
    std::string dump, error;
    std::map<std::string, std::string> before;
    if (readInputFile(board->folder + "/module.psr", &dump, &error)) before = readKeyLines(dump);
    FieldFacts field = readFieldFacts(options.words[2]);
    board->differences = planDifferences(*planned, field, before);
    board->outcome = field.outcome;
    if (field.reach == Reach::Unreachable) {
        board->status = kUnreachable;
    } else if (field.reach == Reach::NoAnswer) {
        board->status = kNoAnswer;
    } else if (!board->differences.empty()) {
        board->status = kUnexpected;
    } else {
        board->status = field.outcome == "OK" ? kUpdated : kAsPlanned;
    }
    std::string reason = haltReason(state, board->wave);
    if (!reason.empty() && !state.haltedWave) {
        state.haltedWave = board->wave;
        state.haltReason = reason;
    }
    if (!command.save()) return 1;
    std::printf("%s (%s): %s%s%s\n", board->name.c_str(), board->host.c_str(),
                board->status.c_str(), board->differences.empty() ? "" : ": ",
                board->differences.empty() ? "" : board->differences.front().c_str());
    return 0;
}

int retry(const Options& options) {
    if (options.words.size() != 2) return usageError("retry takes STATE BOARD");
    BoardCommand command(options.words[0]);
    if (!command.open(options.words[1], false)) return kExitUsage;
    RolloutState& state = command.state;
    BoardEntry* board = command.board;
    if (board->status != kUnderWay && board->status != kUnreachable && board->status != kNoAnswer)
        return inputError(board->name + " is " + board->status +
                          ": only a board under way, unreachable or not answering is retried");
    // It no longer counts toward the limits, nor among those a resume let pass.
    if (board->status != kUnderWay && state.forgivenUnexpected > 0) --state.forgivenUnexpected;
    board->status = kNotYet;
    board->outcome.clear();
    board->differences.clear();
    return command.save() ? 0 : 1;
}

int resume(const Options& options) {
    if (options.words.size() != 1) return usageError("resume takes STATE");
    const std::string& path = options.words[0];
    StateLock lock(path);
    RolloutState state;
    if (!loadState(path, &state)) return kExitUsage;
    if (options.waves) return usageError("the waves of a rollout that has begun stay");
    if (options.maxUnexpected) state.maxUnexpected = *options.maxUnexpected;
    if (options.maxNok) state.maxNok = *options.maxNok;
    if (state.haltedWave) {
        Tally counts = tally(state);
        state.forgivenUnexpected = counts.surprises();
        state.forgivenNok = counts.nok;
        state.haltedWave.reset();
        state.haltReason.clear();
    }
    return saveState(path, state) ? 0 : 1;
}

bool writeOutput(const std::string& path, const std::string& text) {
    if (path == "-") return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
    std::string error;
    if (writeDurably(path, text, &error)) return true;
    std::fprintf(stderr, "rollout: %s\n", error.c_str());
    return false;
}

int status(const Options& options) {
    if (options.words.size() != 1) return usageError("status takes STATE");
    RolloutState state;
    if (!loadState(options.words[0], &state)) return kExitUsage;
    if (options.json != "-" && options.page != "-") std::fputs(statusText(state).c_str(), stdout);
    if (!options.json.empty() && !writeOutput(options.json, stateJson(state))) return kExitUsage;
    if (!options.page.empty() && !writeOutput(options.page, statusPage(state))) return kExitUsage;
    return exitStatusOf(state);
}

// The options that name a file, by their letters.
const std::pair<int, std::string Options::*> kFileOptions[] = {{'p', &Options::plan},
                                                               {'b', &Options::boards},
                                                               {'i', &Options::image},
                                                               {'j', &Options::json},
                                                               {'P', &Options::page}};

// The options into options; an exit status when the program ends here (help, version, a
// usage error).
std::optional<int> parseOptions(int argc, char** argv, Options* out) {
    static const option kOptions[] = {{"waves", required_argument, nullptr, 'w'},
                                      {"max-unexpected", required_argument, nullptr, 'u'},
                                      {"max-nok", required_argument, nullptr, 'n'},
                                      {"plan", required_argument, nullptr, 'p'},
                                      {"boards", required_argument, nullptr, 'b'},
                                      {"image", required_argument, nullptr, 'i'},
                                      {"json", required_argument, nullptr, 'j'},
                                      {"page", required_argument, nullptr, 'P'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    for (int c; (c = getopt_long(argc, argv, "w:u:n:p:b:i:j:P:hV", kOptions, nullptr)) != -1;) {
        switch (c) {
            case 'w':
                out->waves = parseWaves(optarg);
                if (!out->waves)
                    return usageError(std::string("--waves takes counts or shares that grow, "
                                                  "not '") +
                                      optarg + "'");
                break;
            case 'u':
            case 'n': {
                std::optional<Share> limit = parseShare(optarg);
                if (!limit)
                    return usageError(std::string(c == 'u' ? "--max-unexpected" : "--max-nok") +
                                      " takes N or P%, not '" + optarg + "'");
                (c == 'u' ? out->maxUnexpected : out->maxNok) = limit;
                break;
            }
            case 'h':
                printUsage(stdout);
                return 0;
            case 'V':
                std::printf("rollout (BT-LAP update) %s\nbuilt from %s\n", BTLAP_VERSION, kBuildId);
                return 0;
            default: {
                auto file = std::find_if(std::begin(kFileOptions), std::end(kFileOptions),
                                         [c](const auto& option) { return option.first == c; });
                if (file == std::end(kFileOptions)) {
                    printUsage(stderr);
                    return kExitUsage;
                }
                out->*(file->second) = optarg;
            }
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (std::optional<int> status = parseOptions(argc, argv, &options)) return *status;
    if (optind >= argc) return usageError("expected a command");
    const std::string command = argv[optind];
    options.words.assign(argv + optind + 1, argv + argc);
    if (command == "init") return init(options);
    if (command == "next") return next(options);
    if (command == "may-start") return mayStart(options);
    if (command == "begin") return begin(options);
    if (command == "holds") return holds(options);
    if (command == "record") return record(options);
    if (command == "retry") return retry(options);
    if (command == "resume") return resume(options);
    if (command == "status") return status(options);
    return usageError("unknown command " + command);
}
