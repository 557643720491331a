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
#include "core/update_paths.h"
#include "image/update_image.h"
#include "tools/aipeer/board_capture.h"
#include "tools/aipeer/capture_update.h"
#include "tools/aipeer/image_placement.h"
#include "tools/aipeer/peer.h"
#include "tools/common/image_files.h"
#include "tools/common/input_file.h"
#include "tools/common/report_follower.h"
#include "tools/common/update_report.h"
#include "update/step_table.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNok = 1;
constexpr int kExitUsage = 2;
constexpr int kExitTimeout = 3;

void printUsageAndCommands(std::FILE* out) {
    std::fprintf(out,
                 "Usage: aipeer [--timeout SECONDS] [--follow] COMMAND...\n"
                 "  or:  aipeer [--image IMAGE] [--flash] [--follow] capture DIR\n"
                 "  or:  aipeer capture-image FILE\n"
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
                 "  capture DIR    capture the board's state into a new board folder DIR, as a\n"
                 "                 rehearsal takes it: start the read-only update (its one\n"
                 "                 step reads the module's PS-Keys; nothing on the board\n"
                 "                 changes), wait for its final notice, then write\n"
                 "                 DIR/module.psr (the dump %s with comment lines:\n"
                 "                 the firmware that /etc/data.txt names, the start on hci),\n"
                 "                 DIR/etc/ (data.txt, service.txt, terminal.txt, and the\n"
                 "                 update-keys folder and update-security-version when the\n"
                 "                 board has them) and DIR/flash (the flash's size). DIR must\n"
                 "                 not exist; after NOK nothing is written\n"
                 "  capture-image FILE  write the read-only update to FILE (\"-\": standard\n"
                 "                      output) to be signed for a board that takes only\n"
                 "                      signed images; talks to no daemon, and comes alone\n",
                 kAiPeerPath, kAiOwnPath, kImagePath, kPsKeyDumpPath);
}

void printUsage(std::FILE* out) {
    printUsageAndCommands(out);
    std::fprintf(out,
                 "Every record received is printed on standard output, decoded.\n"
                 "\n"
                 "Only one peer can be bound at a time: a peer socket that another process\n"
                 "answers on is never taken from it (\"peer socket in use\", exit status 2); a\n"
                 "socket file that nobody answers on is left over and removed.\n"
                 "\n"
                 "Options (a value also as --timeout=SECONDS; -- ends the options):\n"
                 "  -t, --timeout SECONDS  how long to wait for each answer (default 60)\n"
                 "  -f, --follow   with start or capture: while the update runs, show the\n"
                 "                 current step and its percentage from the update report\n"
                 "                 (%s): a progress bar on a terminal, one line per\n"
                 "                 change otherwise; an update that another request starts\n"
                 "                 again is said so and followed anew; after a final NOK, the\n"
                 "                 report's lines that tell why\n"
                 "      --image IMAGE  with capture: run IMAGE (\"-\": standard input) in\n"
                 "                     place of aipeer's own read-only update: that update\n"
                 "                     signed, whose files after file 0 are the same byte for\n"
                 "                     byte; any other image is refused before anything is\n"
                 "                     asked\n"
                 "      --flash    with capture: also the flash's contents, DIR/flash.bin\n"
                 "  -h, --help     show this help\n"
                 "  -V, --version  show the version of the tool and of its build\n"
                 "\n"
                 "Exit status: 0 every answer came (and a final notice said OK; capture: the\n"
                 "folder is written); 1 a final notice said NOK (capture: nothing written) or\n"
                 "the board's folder could not be written (nothing of it left); 2 usage,\n"
                 "image, folder or socket error; 3 an answer did not come in time.\n",
                 kUpdateReportPath);
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
    std::string path;  // capture: the board's folder; capture-image: the file
};

// What the command line asks for.
struct PeerRun {
    int timeoutSeconds = 60;
    bool follow = false;
    std::optional<std::string> captureImagePath;  // --image
    CaptureBytes captureImage;                    // the read-only update that capture runs
    bool flashContents = false;                   // --flash
    std::vector<Step> steps;
};

// Long options without a letter of their own.
enum OptionCode { kImageOption = 256, kFlashOption };

// The options into run; an exit status when the program ends here (help, version, a usage
// error).
std::optional<int> readOptions(int argc, char** argv, PeerRun* run) {
    static const option kOptions[] = {{"timeout", required_argument, nullptr, 't'},
                                      {"follow", no_argument, nullptr, 'f'},
                                      {"image", required_argument, nullptr, kImageOption},
                                      {"flash", no_argument, nullptr, kFlashOption},
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
            case kImageOption:
                run->captureImagePath = optarg;
                break;
            case kFlashOption:
                run->flashContents = true;
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

// The read-only update that capture runs: aipeer's own, or the one --image names when it is
// that update (signed); an exit status when it can't be had.
std::optional<int> readCaptureImage(PeerRun* run) {
    if (!run->captureImagePath) {
        run->captureImage = captureUpdateImage();
        return std::nullopt;
    }
    const std::string& path = *run->captureImagePath;
    std::string content;
    std::string error;
    if (!readInputFile(path, &content, &error, kMaxCapturedFileBytes)) {
        std::fprintf(stderr, "aipeer: can't read the image %s\n", error.c_str());
        return kExitUsage;
    }
    run->captureImage.assign(content.begin(), content.end());
    if (std::string refusal = captureUpdateRefusal(run->captureImage); !refusal.empty()) {
        std::fprintf(stderr, "aipeer: %s: %s; a capture runs only the read-only update\n",
                     path.c_str(), refusal.c_str());
        return kExitUsage;
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
        if (command == PeerCommand::Capture || command == PeerCommand::CaptureImage) {
            if (i + 1 >= argc)
                return usageError((word + (command == PeerCommand::Capture ? " needs the board's "
                                                                             "folder DIR"
                                                                           : " needs a FILE"))
                                      .c_str());
            steps.push_back({*command, -1, "", argv[++i]});
            continue;
        }
        if (command) {
            steps.push_back({*command, -1, "", ""});
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
    auto has = [&](PeerCommand wanted) {
        return std::any_of(steps.begin(), steps.end(),
                           [&](const Step& step) { return step.command == wanted; });
    };
    if (has(PeerCommand::CaptureImage) && steps.size() > 1)
        return usageError("capture-image talks to no daemon: it comes alone");
    if (run->follow && !has(PeerCommand::Start) && !has(PeerCommand::Capture))
        return usageError("--follow goes with the start or capture command");
    if ((run->captureImagePath || run->flashContents) && !has(PeerCommand::Capture))
        return usageError("--image and --flash go with the capture command");
    if (has(PeerCommand::Capture)) return readCaptureImage(run);
    return std::nullopt;
}

// Writes the read-only update to the step's file; the exit status.
int writeCaptureImage(const Step& step) {
    std::string error;
    if (!mkupdate::writeOutput(step.path, captureUpdateImage(), {}, &error)) {
        std::fprintf(stderr, "aipeer: %s\n", error.c_str());
        return kExitNok;
    }
    return kExitOk;
}

// capture's update image, written to a file of its own beside /tmp/image and opened, so that it
// is moved into place as start's image is; -1 (said on standard error) when it can't be.
int captureImageFile(const CaptureBytes& image, std::string* path) {
    *path = std::string(kImagePath) + ".capture.XXXXXX";
    int fd = mkstemp(path->data());
    if (fd < 0) {
        std::fprintf(stderr, "aipeer: can't write the read-only update beside %s: %s\n", kImagePath,
                     std::strerror(errno));
        return -1;
    }
    std::size_t done = 0;
    while (done < image.size()) {
        ssize_t put = write(fd, image.data() + done, image.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) break;
        done += static_cast<std::size_t>(put);
    }
    if (done != image.size() || fchmod(fd, 0644) != 0) {
        std::fprintf(stderr, "aipeer: can't write the read-only update beside %s: %s\n", kImagePath,
                     std::strerror(errno != 0 ? errno : EIO));
        close(fd);
        unlink(path->c_str());
        return -1;
    }
    return fd;
}

// Sends the request to the daemon; false (said on standard error) when it can't be sent.
bool sendRequest(int fd, std::int32_t request) {
    AiMessage message = makeHeaderFrame(AI_REQUEST, request, kAiHeaderSize);
    sockaddr_un daemon = unixAddress(kAiOwnPath);
    if (sendto(fd, &message, kAiHeaderSize, 0, reinterpret_cast<sockaddr*>(&daemon),
               sizeof daemon) != static_cast<ssize_t>(kAiHeaderSize)) {
        std::fprintf(stderr, "aipeer: can't send to %s: %s\n", kAiOwnPath, std::strerror(errno));
        return false;
    }
    return true;
}

void reportNoAnswer(const Expectation& expected, int timeoutSeconds) {
    std::fprintf(stderr, "aipeer: no %s with param %d within %d s\n", typeName(expected.type),
                 expected.param, timeoutSeconds);
}

// Whether the report, since the follower began, shows the read-only update and nothing else:
// its one step, the read step, ended OK. Another start request, from another process, could
// have run another update in its place.
bool reportShowsTheReadStepAlone(const ReportFollower& follower) {
    ReportedUpdate update = parseUpdateReport(followedReport(follower));
    return update.finishedOk == true && update.steps.size() == 1 &&
           update.steps.front().id == STEP_BT_MOD_SET_READ &&
           update.steps.front().outcome == StepOutcome::Ok;
}

// After the read-only update's final "OK": the board's folder written, when the report shows
// that update and no other; the exit status, and in stop whether the commands after it are
// left out.
int writeCapturedFolder(BoardFolder& folder, const ReportFollower& follower, const Step& step,
                        const PeerRun& run, bool* stop) {
    if (!reportShowsTheReadStepAlone(follower)) {
        std::fprintf(stderr,
                     "aipeer: the update report shows another update than the read-only one "
                     "(another start request?): %s not written\n",
                     step.path.c_str());
        return kExitNok;
    }
    if (!folder.fill(run.flashContents)) {
        std::fprintf(stderr, "aipeer: %s not written\n", step.path.c_str());
        return kExitNok;
    }
    folder.keep();
    std::printf("board folder %s written\n", step.path.c_str());
    *stop = false;
    return kExitOk;
}

// capture: the read-only update started as start starts an image, and after its final "OK" the
// board's folder written; the exit status, and in stop whether the commands after it are left
// out.
int runCapture(int fd, const Step& step, const PeerRun& run, ViewForm form, bool* stop) {
    *stop = true;
    BoardFolder folder;
    if (!folder.make(step.path)) return kExitUsage;
    std::string path;
    int imageFd = captureImageFile(run.captureImage, &path);
    if (imageFd < 0) return kExitUsage;
    std::optional<PlacedImage> placed = placeImage(imageFd, path, kImagePath);
    close(imageFd);
    if (!placed) {
        unlink(path.c_str());
        return kExitUsage;
    }
    // Once the update has ended the image goes, wherever it is, while it is still the one
    // placed: the board's /tmp is its memory, and no step of the read-only update removes it.
    auto removeIfPlaced = [&](const std::string& at) {
        struct stat info {};
        if (lstat(at.c_str(), &info) == 0 && info.st_dev == placed->device &&
            info.st_ino == placed->inode)
            unlink(at.c_str());
    };
    auto takeBack = [&] {
        withdrawImage(*placed, kImagePath);
        removeIfPlaced(path);
    };
    // Taken before the request: what the report holds then belongs to earlier updates.
    ReportFollower follower = startFollowing(form);
    if (!sendRequest(fd, REQ_START_UPDATE)) {
        takeBack();
        return kExitUsage;
    }
    const Expectation expected = *expectationOf(PeerCommand::Capture);
    std::optional<PeerRecord> answer =
        receiveUntil(fd, expected, run.timeoutSeconds, run.follow ? &follower : nullptr);
    if (!answer) {
        reportNoAnswer(expected, run.timeoutSeconds);
        return kExitTimeout;
    }
    if (answer->text != "OK") {
        const std::string cause = followedFailure(follower);
        show(cause);
        takeBack();
        std::fprintf(stderr, "aipeer: the read-only update ended %s: %s not written\n",
                     answer->text.c_str(), step.path.c_str());
        const std::string hint = captureSignatureHint(cause, !run.captureImagePath);
        if (!hint.empty()) std::fprintf(stderr, "aipeer: %s\n", hint.c_str());
        return kExitNok;
    }
    removeIfPlaced(kImagePath);
    return writeCapturedFolder(folder, follower, step, run, stop);
}

// One command's exchange with the daemon: its exit status, and in stop whether the commands
// after it are left out.
int runStep(int fd, const Step& step, const PeerRun& run, ViewForm form, bool* stop) {
    PeerCommand command = step.command;
    if (command == PeerCommand::Capture) return runCapture(fd, step, run, form, stop);
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
        if (!sendRequest(fd, *request)) return kExitUsage;
    }
    std::optional<Expectation> expected = expectationOf(command);
    std::optional<PeerRecord> answer =
        receiveUntil(fd, expected, run.timeoutSeconds, follower ? &*follower : nullptr);
    *stop = false;
    if (!expected) return kExitOk;
    if (!answer) {
        reportNoAnswer(*expected, run.timeoutSeconds);
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
    if (run.steps.front().command == PeerCommand::CaptureImage)
        return writeCaptureImage(run.steps.front());
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
