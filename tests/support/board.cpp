#include "board.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "core/ai_message.h"
#include "tools/aipeer/peer.h"

namespace {

constexpr const char* kDaemonOut = "/tmp/daemon.out";
constexpr const char* kDaemonErr = "/tmp/daemon.err";

sockaddr_un unixAddress(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    return address;
}

std::vector<std::string> splitWords(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

}  // namespace

TestPeer::TestPeer(const char* address) : address_(address) {
    unlink(address);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd_, 0) << std::strerror(errno);
    sockaddr_un bound = unixAddress(address);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0)
        << std::strerror(errno);
}

TestPeer::~TestPeer() {
    if (fd_ >= 0) close(fd_);
    unlink(address_.c_str());
}

void TestPeer::sendRaw(const void* bytes, std::size_t length) {
    sockaddr_un address = unixAddress(kAiOwnPath);
    ssize_t sent =
        sendto(fd_, bytes, length, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    EXPECT_EQ(sent, static_cast<ssize_t>(length)) << std::strerror(errno);
}

void TestPeer::sendRequest(std::int32_t command) {
    AiMessage message = makeHeaderFrame(AI_REQUEST, command, kAiHeaderSize);
    sendRaw(&message, kAiHeaderSize);
}

void TestPeer::sendTrigger(std::int32_t code) {
    AiMessage message = makeHeaderFrame(AI_TRIGGER, code, kAiHeaderSize);
    sendRaw(&message, kAiHeaderSize);
}

std::optional<ReceivedRecord> TestPeer::receive(std::chrono::milliseconds timeout) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    std::uint8_t buffer[kAiReceiveSize] = {};
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) return std::nullopt;
    ReceivedRecord record;
    record.bytes.assign(buffer, buffer + n);
    if (std::optional<PeerRecord> decoded = decodeRecord(record.bytes)) {
        record.type = decoded->type;
        record.param = decoded->param;
        record.text = decoded->text;
    }
    return record;
}

std::optional<ReceivedRecord> TestPeer::awaitRecord(std::uint32_t type, std::int32_t param,
                                                    std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        std::optional<ReceivedRecord> record = receive(left);
        if (!record) return std::nullopt;
        if (record->type == type && record->param == param) return record;
        skipped_.push_back(*record);
    }
}

SimDaemon::~SimDaemon() {
    if (pid_ > 0) kill();
}

void SimDaemon::start(const std::string& pathFirst, int errorOutput) {
    std::vector<std::string> words = splitWords(BOARD_EMULATOR);
    words.push_back(SIM_DAEMON_PATH);
    unlink(kAiOwnPath);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
        int out = open(kDaemonOut, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        int err = errorOutput >= 0
                      ? errorOutput
                      : open(kDaemonErr, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        dup2(out, 1);
        dup2(err, 2);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        // Every signal at its default, as the board's init starts the daemon: one that the
        // test program ignores would stay ignored across the exec, and the daemon's own
        // dispositions would go untested.
        for (int number = 1; number < NSIG; ++number) ::signal(number, SIG_DFL);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        std::string path = "PATH=" + (pathFirst.empty() ? "" : pathFirst + ":") +
                           "/opt/board/bin:/usr/local/bin:/usr/bin:/bin";
        char* envp[] = {path.data(), nullptr};
        chdir("/");
        execve(argv[0][0] == '/' ? argv[0] : ("/usr/bin/" + words[0]).c_str(), argv.data(), envp);
        _exit(127);
    }
    bool up = eventually([] { return access(kAiOwnPath, F_OK) == 0; }, kEventCap);
    ASSERT_TRUE(up) << "the daemon did not bind " << kAiOwnPath << "\n" << standardError();
}

void SimDaemon::signal(int number) { ::kill(pid_, number); }

std::optional<int> SimDaemon::waitExit(std::chrono::milliseconds timeout) {
    int status = 0;
    bool ended = eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!ended) return std::nullopt;
    pid_ = -1;
    return status;
}

void SimDaemon::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

std::string SimDaemon::standardOutput() const { return readWholeFile(kDaemonOut); }
std::string SimDaemon::standardError() const { return readWholeFile(kDaemonErr); }

bool sendDatagram(int fd, const char* path, const void* bytes, std::size_t length, int flags) {
    sockaddr_un address = unixAddress(path);
    return sendto(fd, bytes, length, flags, reinterpret_cast<sockaddr*>(&address),
                  sizeof address) == static_cast<ssize_t>(length);
}

bool startedAndAnnounced(SimDaemon& daemon, TestPeer& peer, const std::string& pathFirst,
                         int errorOutput) {
    daemon.start(pathFirst, errorOutput);
    return peer.awaitRecord(AI_NOTICE, 0, kEventCap).has_value();
}

std::string runUpdateOnBoard(SimDaemon& daemon, TestPeer& peer,
                             const std::vector<std::uint8_t>& image, std::chrono::seconds limit,
                             const std::string& pathFirst) {
    writeWholeFile("/tmp/image", image);
    EXPECT_TRUE(startedAndAnnounced(daemon, peer, pathFirst));
    peer.sendRequest(REQ_START_UPDATE);
    std::optional<ReceivedRecord> finished = peer.awaitRecord(AI_NOTICE, 2, limit);
    return finished ? finished->text : "no final notice";
}

std::chrono::milliseconds onBoard(std::chrono::milliseconds boardTime) {
    static const long long speed = [] {
        long long value = std::atoll(readWholeFile("/sim/state/clock.speed").c_str());
        return value >= 1 ? value : 1;
    }();
    return boardTime / speed;
}

std::vector<std::string> firstGroups(const std::string& text, const std::regex& pattern) {
    std::vector<std::string> groups;
    for (std::sregex_iterator it(text.begin(), text.end(), pattern), end; it != end; ++it)
        groups.push_back((*it)[1]);
    return groups;
}

std::size_t sumOfCounts(const std::string& text, const std::regex& count) {
    std::size_t sum = 0;
    for (const std::string& group : firstGroups(text, count)) sum += std::stoul(group);
    return sum;
}

std::vector<std::string> moduleKeysSet() {
    static const std::regex set("BCCMD SET key 0x([0-9a-f]{4})");
    return firstGroups(readWholeFile("/sim/state/module.log"), set);
}

std::size_t countOf(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

std::string readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool ignoresSigpipe(const std::string& status) {
    static constexpr char kField[] = "SigIgn:\t";
    std::size_t at = status.find(kField);
    if (at == std::string::npos) {
        ADD_FAILURE() << "no SigIgn line in: " << status;
        return false;
    }
    unsigned long long mask = std::stoull(status.substr(at + sizeof kField - 1, 16), nullptr, 16);
    return (mask >> (SIGPIPE - 1) & 1) != 0;
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void writeWholeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void writeWholeFile(const std::string& path, const std::vector<std::uint8_t>& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
}

std::string withoutTimestamps(const std::string& log) {
    static const std::regex stamp(R"((UPDATE_(?:LOG|ERR)-[^ ]+ )\d\d:\d\d:\d\d\.\d\d\d: )");
    return std::regex_replace(log, stamp, "$1TIME: ");
}

ProgramRun runProgram(const std::string& commandLine) {
    int status = std::system((commandLine + " >/tmp/out 2>/tmp/err").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("/tmp/out"),
            readWholeFile("/tmp/err")};
}
