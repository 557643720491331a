// aipeer: talks to the update daemon as its peer process does.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/ai_message.h"
#include "core/build_time.h"
#include "core/log.h"
#include "image/update_image.h"
#include "tools/aipeer/image_placement.h"
#include "tools/aipeer/peer.h"
#include "tools/aipeer/report_follower.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNok = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: aipeer [--timeout SECONDS] [--follow] COMMAND...\n"
                 "Talks to the update daemon as its peer: binds %s and sends to %s.\n"
                 "\n"
                 "Commands run in the order given, within one binding:\n"
                 "  notice         wait for the daemon's start-up notice (AI_NOTICE, param 0)\n"
                 "  query          send REQ_QUERY; wait for the answer (AI_REPLY, param 0)\n"
                 "  start [IMAGE]  send REQ_START_UPDATE; wait for the final notice\n"
                 "                 (AI_NOTICE, param 2). The daemon reads the image at %s;\n"
                 "                 IMAGE is placed there first (moved there when it lies on\n"
                 "                 the same file system, otherwise copied to a temporary file\n"
                 "                 beside it and renamed), and taken back when the start\n"
                 "                 fails (not when no final notice comes in time: the update\n"
                 "                 may still be running); a missing or unreadable IMAGE is\n"
                 "                 refused before anything is asked\n"
                 "  stop           send REQ_STOP; wait for the answer (AI_REPLY, param 3),\n"
                 "                 which the daemon sends after 30 seconds; then the daemon\n"
                 "                 ends\n"
                 "  listen         print every record until the time-out passes\n"
                 "Every record received is printed on standard output, decoded.\n"
                 "\n"
                 "Only one peer can be bound at a time: a peer socket that another process\n"
                 "answers on is never taken from it (\"peer socket in use\", exit status 2); a\n"
                 "socket file that nobody answers on is left over and removed.\n"
                 "\n"
                 "Options (a value also as --timeout=SECONDS; -- ends the options):\n"
                 "  -t, --timeout SECONDS  how long to wait for each answer (default 60)\n"
                 "  -f, --follow   with start: while the update runs, show the current step and\n"
                 "                 its percentage from the update report %s: a\n"
                 "                 progress bar on a terminal, one line per change otherwise;\n"
                 "                 an update that another request starts again is said so and\n"
                 "                 followed anew; after a final NOK, the report's lines that\n"
                 "                 tell why\n"
                 "  -h, --help     show this help\n"
                 "  -V, --version  show the version of the tool and of its build\n"
                 "\n"
                 "Exit status: 0 every answer came (and a final notice said OK); 1 a final\n"
                 "notice said NOK; 2 usage, image or socket error; 3 an answer did not come in\n"
                 "time.\n",
                 kAiPeerPath, kAiOwnPath, kImagePath, kUpdateReportPath);
}

int usageError(const char* message) {
    std::fprintf(stderr, "aipeer: %s (see aipeer --help)\n", message);
    return kExitUsage;
}

sockaddr_un unixAddress(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    return address;
}

// How often the update report is read while an update is followed.
constexpr std::chrono::milliseconds kFollowInterval{250};

void show(const std::string& text) {
    if (text.empty()) return;
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// Receives and prints records until one matches expected (or, without one, until the
// time-out, which begins anew with every record). The matching record, or nothing. With a
// follower, the update report is read between records and before each record is printed, so
// that the final notice comes after the last step's result.
std::optional<PeerRecord> receiveUntil(int fd, const std::optional<Expectation>& expected,
                                       int timeoutSeconds, ReportFollower* follower) {
    using Clock = std::chrono::steady_clock;
    const std::chrono::milliseconds timeout{timeoutSeconds * 1000LL};
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        left = std::max(left, std::chrono::milliseconds{0});
        if (follower) left = std::min(left, kFollowInterval);
        pollfd entry{fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0 && follower) {
            show(followReport(*follower));
            if (Clock::now() < deadline) continue;
        }
        if (ready <= 0) {
            if (follower) show(interruptFollowing(*follower));
            return std::nullopt;
        }
        std::uint8_t buffer[kAiReceiveSize];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        deadline = Clock::now() + timeout;
        if (follower) {
            show(followReport(*follower));
            show(interruptFollowing(*follower));
        }
        std::optional<PeerRecord> record =
            decodeRecord(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)));
        if (!record) {
            std::printf("short datagram of %zd bytes\n", n);
            continue;
        }
        std::printf("%s\n", describeRecord(*record).c_str());
        std::fflush(stdout);
        if (expected && record->type == expected->type && record->param == expected->param)
            return record;
    }
}

// Binds the peer's socket unless a live peer holds it: a datagram socket bound there takes a
// connection, a file left by a peer that has ended refuses it and is removed.
int bindPeerSocket() {
    sockaddr_un own = unixAddress(kAiPeerPath);
    int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0 || fd < 0) {
        std::fprintf(stderr, "aipeer: socket: %s\n", std::strerror(errno));
        return -1;
    }
    int probed = connect(probe, reinterpret_cast<sockaddr*>(&own), sizeof own);
    int probeError = errno;
    close(probe);
    if (probed == 0) {
        std::fprintf(stderr, "aipeer: peer socket in use: another peer is bound to %s\n",
                     kAiPeerPath);
        close(fd);
        return -1;
    }
    if (probeError == ECONNREFUSED) unlink(kAiPeerPath);
    if (bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        if (errno == EADDRINUSE) {
            std::fprintf(stderr, "aipeer: peer socket in use: another peer is bound to %s\n",
                         kAiPeerPath);
        } else {
            std::fprintf(stderr, "aipeer: can't bind %s: %s\n", kAiPeerPath, std::strerror(errno));
        }
        close(fd);
        return -1;
    }
    return fd;
}

// The image of a start, placed for the daemon: when the start fails (the request can't be
// sent, the daemon refuses the image or the update ends NOK) it is taken back. Without a final
// notice in time it stays: the update may still be running on it.
struct ImageInPlace {
    std::optional<PlacedImage> placed;
    bool started = false;
    ImageInPlace() = default;
    ImageInPlace(const ImageInPlace&) = delete;
    ImageInPlace& operator=(const ImageInPlace&) = delete;
    ~ImageInPlace() {
        if (placed && !started) withdrawImage(*placed, kImagePath);
    }
};

struct Step {
    PeerCommand command;
    int image = -1;  // start: the image to place, open
    std::string imageName;
};

// What the command line asks for.
struct PeerRun {
    int timeoutSeconds = 60;
    bool follow = false;
    std::vector<Step> steps;
};

// The options into run; an exit status when the program ends here (help, version, a usage
// error).
std::optional<int> readOptions(int argc, char** argv, PeerRun* run) {
    static const option kOptions[] = {{"timeout", required_argument, nullptr, 't'},
                                      {"follow", no_argument, nullptr, 'f'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, 'V'},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int got; (got = getopt_long(argc, argv, ":t:fhV", kOptions, nullptr)) != -1;) {
        std::string arg = argv[optind - 1];
        switch (got) {
            case 'h':
                printUsage(stdout);
                return kExitOk;
            case 'V':
                std::printf("aipeer (BT-LAP update) %s\nbuilt from %s\n", BTLAP_VERSION, kBuildId);
                return kExitOk;
            case 'f':
                run->follow = true;
                break;
            case 't': {
                char* end = nullptr;
                long value = std::strtol(optarg, &end, 10);
                if (*optarg == '\0' || *end != '\0' || value <= 0 || value > 86400)
                    return usageError("--timeout needs a number of seconds (1 to 86400)");
                run->timeoutSeconds = static_cast<int>(value);
                break;
            }
            case ':':
                return usageError((arg.substr(0, arg.find('=')) + " needs a value").c_str());
            default:
                return usageError(("unknown option " + arg).c_str());
        }
    }
    return std::nullopt;
}

// The commands after the options into run, each start's image opened; an exit status when
// they can't run.
std::optional<int> readSteps(int argc, char** argv, PeerRun* run) {
    std::vector<Step>& steps = run->steps;
    for (int i = optind; i < argc; ++i) {
        std::string word = argv[i];
        std::optional<PeerCommand> command = parsePeerCommand(word);
        if (command) {
            steps.push_back({*command, -1, ""});
            continue;
        }
        // A word after start that is no command names its image.
        if (steps.empty() || steps.back().command != PeerCommand::Start ||
            !steps.back().imageName.empty())
            return usageError(("unknown command '" + word + "'").c_str());
        steps.back().imageName = word;
        // Opened without waiting: a FIFO given as the image would wait for a writer.
        steps.back().image = open(argv[i], O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat info {};
        if (steps.back().image < 0 || fstat(steps.back().image, &info) != 0 ||
            !S_ISREG(info.st_mode)) {
            std::fprintf(stderr, "aipeer: can't read the image %s: %s\n", argv[i],
                         steps.back().image < 0 ? std::strerror(errno) : "not a regular file");
            return kExitUsage;
        }
    }
    if (steps.empty()) {
        printUsage(stderr);
        return kExitUsage;
    }
    if (run->follow && std::none_of(steps.begin(), steps.end(), [](const Step& step) {
            return step.command == PeerCommand::Start;
        }))
        return usageError("--follow goes with the start command");
    return std::nullopt;
}

// One command's exchange with the daemon: its exit status, and in stop whether the commands
// after it are left out.
int runStep(int fd, const Step& step, const PeerRun& run, ViewForm form, bool* stop) {
    PeerCommand command = step.command;
    ImageInPlace image;
    *stop = true;
    if (step.image >= 0) {
        image.placed = placeImage(step.image, step.imageName, kImagePath);
        if (!image.placed) return kExitUsage;
    }
    // Taken before the request: what the report holds then belongs to earlier updates.
    std::optional<ReportFollower> follower;
    if (run.follow && command == PeerCommand::Start) follower = startFollowing(form);
    if (std::optional<std::int32_t> request = requestOf(command)) {
        AiMessage message = makeHeaderFrame(AI_REQUEST, *request, kAiHeaderSize);
        sockaddr_un daemon = unixAddress(kAiOwnPath);
        if (sendto(fd, &message, kAiHeaderSize, 0, reinterpret_cast<sockaddr*>(&daemon),
                   sizeof daemon) != static_cast<ssize_t>(kAiHeaderSize)) {
            std::fprintf(stderr, "aipeer: can't send to %s: %s\n", kAiOwnPath,
                         std::strerror(errno));
            return kExitUsage;
        }
    }
    std::optional<Expectation> expected = expectationOf(command);
    std::optional<PeerRecord> answer =
        receiveUntil(fd, expected, run.timeoutSeconds, follower ? &*follower : nullptr);
    *stop = false;
    if (!expected) return kExitOk;
    if (!answer) {
        std::fprintf(stderr, "aipeer: no %s with param %d within %d s\n", typeName(expected->type),
                     expected->param, run.timeoutSeconds);
        image.started = true;
        *stop = true;
        return kExitTimeout;
    }
    if (command == PeerCommand::Start && answer->text != "OK") {
        if (follower) show(followedFailure(*follower));
        return kExitNok;
    }
    image.started = true;
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    PeerRun run;
    if (std::optional<int> done = readOptions(argc, argv, &run)) return *done;
    if (std::optional<int> done = readSteps(argc, argv, &run)) return *done;
    ViewForm form = isatty(STDOUT_FILENO) ? ViewForm::Terminal : ViewForm::Lines;

    int fd = bindPeerSocket();
    if (fd < 0) return kExitUsage;
    int status = kExitOk;
    for (const Step& step : run.steps) {
        bool stop = false;
        if (int result = runStep(fd, step, run, form, &stop); result != kExitOk) status = result;
        if (stop) break;
    }
    close(fd);
    unlink(kAiPeerPath);
    return status;
}
