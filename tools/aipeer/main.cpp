// aipeer: talks to the update daemon as its peer process does.
#include <poll.h>
#include <sys/socket.h>
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
#include "core/log.h"
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
                 "Commands run in the order given, within one binding:\n"
                 "  notice   wait for the daemon's start-up notice (AI_NOTICE, param 0)\n"
                 "  query    send REQ_QUERY; wait for the answer (AI_REPLY, param 0)\n"
                 "  start    send REQ_START_UPDATE (the image must be in /tmp/image);\n"
                 "           wait for the final notice (AI_NOTICE, param 2)\n"
                 "  stop     send REQ_STOP; wait for the answer (AI_REPLY, param 3),\n"
                 "           which the daemon sends after 30 seconds\n"
                 "  listen   print every record until the time-out passes\n"
                 "Every record received is printed on standard output, decoded.\n"
                 "Options:\n"
                 "  --timeout SECONDS  how long to wait for each answer (default 60)\n"
                 "  --follow           with start: while the update runs, show the current step\n"
                 "                     and its percentage from the update report %s:\n"
                 "                     a progress bar on a terminal, one line per change\n"
                 "                     otherwise\n"
                 "  -h, --help         show this help\n"
                 "Exit status: 0 every answer came (and a final notice said OK); 1 a final\n"
                 "notice said NOK; 2 usage or socket error; 3 an answer did not come in time.\n",
                 kAiPeerPath, kAiOwnPath, kUpdateReportPath);
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

}  // namespace

int main(int argc, char** argv) {
    int timeoutSeconds = 60;
    bool follow = false;
    std::vector<PeerCommand> commands;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "-h" || word == "--help") {
            printUsage(stdout);
            return kExitOk;
        }
        if (word == "--follow") {
            follow = true;
            continue;
        }
        if (word == "--timeout") {
            char* end = nullptr;
            long value = i + 1 < argc ? std::strtol(argv[i + 1], &end, 10) : -1;
            if (i + 1 >= argc || *end != '\0' || value <= 0 || value > 86400) {
                std::fprintf(stderr, "aipeer: --timeout needs a number of seconds (1 to 86400)\n");
                return kExitUsage;
            }
            timeoutSeconds = static_cast<int>(value);
            ++i;
            continue;
        }
        std::optional<PeerCommand> command = parsePeerCommand(word);
        if (!command) {
            std::fprintf(stderr, "aipeer: unknown command '%s' (see --help)\n", word.c_str());
            return kExitUsage;
        }
        commands.push_back(*command);
    }
    if (commands.empty()) {
        printUsage(stderr);
        return kExitUsage;
    }
    if (follow &&
        std::find(commands.begin(), commands.end(), PeerCommand::Start) == commands.end()) {
        std::fprintf(stderr, "aipeer: --follow goes with the start command (see --help)\n");
        return kExitUsage;
    }
    ViewForm form = isatty(STDOUT_FILENO) ? ViewForm::Terminal : ViewForm::Lines;

    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::fprintf(stderr, "aipeer: socket: %s\n", std::strerror(errno));
        return kExitUsage;
    }
    unlink(kAiPeerPath);
    sockaddr_un own = unixAddress(kAiPeerPath);
    if (bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
        std::fprintf(stderr, "aipeer: can't bind %s: %s\n", kAiPeerPath, std::strerror(errno));
        return kExitUsage;
    }
    int status = kExitOk;
    for (PeerCommand command : commands) {
        // Taken before the request: what the report holds then belongs to earlier updates.
        std::optional<ReportFollower> follower;
        if (follow && command == PeerCommand::Start) follower = startFollowing(form);
        if (std::optional<std::int32_t> request = requestOf(command)) {
            AiMessage message = makeHeaderFrame(AI_REQUEST, *request, kAiHeaderSize);
            sockaddr_un daemon = unixAddress(kAiOwnPath);
            if (sendto(fd, &message, kAiHeaderSize, 0, reinterpret_cast<sockaddr*>(&daemon),
                       sizeof daemon) != static_cast<ssize_t>(kAiHeaderSize)) {
                std::fprintf(stderr, "aipeer: can't send to %s: %s\n", kAiOwnPath,
                             std::strerror(errno));
                status = kExitUsage;
                break;
            }
        }
        std::optional<Expectation> expected = expectationOf(command);
        std::optional<PeerRecord> answer =
            receiveUntil(fd, expected, timeoutSeconds, follower ? &*follower : nullptr);
        if (!expected) continue;
        if (!answer) {
            std::fprintf(stderr, "aipeer: no %s with param %d within %d s\n",
                         typeName(expected->type), expected->param, timeoutSeconds);
            status = kExitTimeout;
            break;
        }
        if (command == PeerCommand::Start && answer->text != "OK") status = kExitNok;
    }
    close(fd);
    unlink(kAiPeerPath);
    return status;
}
