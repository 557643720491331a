// The daemon on the simulated board, driven through its AI socket as the peer drives it.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "core/ai_message.h"
#include "tests/support/board.h"
#include "tests/support/updates.h"

using namespace std::chrono_literals;

namespace {

// Every line of the daemon's standard error is the banner or a whole log entry.
void expectWellFormedLog(const std::string& err) {
    std::regex line(
        R"(Korvane quorvale BT-LAP update software\.|Version: 0\.1\.0  Compilation time: .+|UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process \w+ line: \d+: .*)");
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        std::string text = err.substr(start, end - start);
        EXPECT_TRUE(std::regex_match(text, line)) << "bad line: " << text;
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

TEST(Daemon, AnnouncesItselfAndAnswersAQuery) {
    TestPeer peer;
    SimDaemon daemon;
    daemon.start();
    auto notice = peer.awaitRecord(AI_NOTICE, 0, kEventCap);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->text, "/x0AT0x0Do");
    EXPECT_EQ(notice->bytes.size(), 64u);
    peer.sendRequest(REQ_QUERY);
    auto reply = peer.awaitRecord(AI_REPLY, 0, kEventCap);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, "/x0AT0x0Do");
    EXPECT_TRUE(peer.skipped().empty());
    std::string err = daemon.standardError();
    EXPECT_EQ(
        err.rfind("Korvane quorvale BT-LAP update software.\nVersion: 0.1.0  Compilation time: ",
                  0),
        0u)
        << err;
    expectWellFormedLog(err);
}

TEST(Daemon, FirstPollTimeOutReportsTheEmptyUpdateOnce) {
    writeWholeFile("/tmp/update.log", "report of the previous run\n");
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, "OK");
    EXPECT_TRUE(peer.skipped().empty());
    EXPECT_EQ(readWholeFile("/tmp/update.log"), "*UPDATE_FINISHED* ... OK\n");
    EXPECT_TRUE(eventually([&] { return daemon.standardOutput() == "*UPDATE_FINISHED* ... OK\n"; },
                           kEventCap))
        << daemon.standardOutput();
    // The next time-out finds nothing to do.
    EXPECT_FALSE(peer.receive(onBoard(17s)));
}

// A SIGTERM that comes during the stop's wait is logged when the wait returns, and the stop
// goes on.
TEST(Daemon, StopAnswersAfterThirtySecondsAndExitsCleanly) {
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    auto sent = std::chrono::steady_clock::now();
    peer.sendRequest(REQ_STOP);
    std::this_thread::sleep_for(onBoard(2s));
    daemon.signal(SIGTERM);
    auto reply = peer.awaitRecord(AI_REPLY, 3, kEventCap);
    ASSERT_TRUE(reply);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, onBoard(29s));
    EXPECT_EQ(reply->text, "b");
    auto status = daemon.waitExit(kEventCap);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0);
    EXPECT_FALSE(fileExists(kAiOwnPath));
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "SIGTERM receiced and ignored !!\nExit because stopped !!\n");
    EXPECT_NE(daemon.standardError().find("Exit because stopped !!\n"), std::string::npos);
}

TEST(Daemon, WithoutPeerTheStartUpNoticeFailsAndTheDaemonGoesOn) {
    SimDaemon daemon;
    daemon.start();
    EXPECT_TRUE(eventually(
        [&] {
            return daemon.standardError().find(
                       "-1 Bytes from 64 written => socket write errno 2 No such file or directory "
                       "\n") != std::string::npos;
        },
        kEventCap))
        << daemon.standardError();
    TestPeer peer;
    peer.sendRequest(REQ_QUERY);
    EXPECT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));
}

// From now on, in this process and the daemon it starts, installing a handler for signal
// fails with EPERM.
void refuseHandlersFor(int signal) {
    constexpr std::size_t kLowWord = std::endian::native == std::endian::big ? 4 : 0;
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_rt_sigaction, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0]) + kLowWord),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(signal), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
}

// As for a socket that can't be opened: logged (the report goes at start-up, and the line
// with it), and the daemon goes on.
TEST(Daemon, ASignalHandlerThatCantBeInstalledIsLogged) {
    if (!std::string_view(BOARD_EMULATOR).empty())
        GTEST_SKIP() << "the emulator installs the board's handlers as its own";
    refuseHandlersFor(SIGALRM);
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    EXPECT_TRUE(std::regex_search(
        daemon.standardError(),
        std::regex(
            R"(src/update_process main line: \d+: signal handling not set up: 1 Operation not permitted \n)")))
        << daemon.standardError();
    EXPECT_FALSE(fileExists("/tmp/update.log"));
}

// Signals arriving in bursts while the daemon sends answers and writes its log: every answer
// reaches the peer, none goes astray to the daemon's own address, and no log line is broken.
TEST(Daemon, SignalBurstsLoseOrMisdirectNothing) {
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    constexpr int kQueries = 200;
    constexpr int kBatch = 5;  // well inside a datagram socket's receive queue
    std::thread signaller([&] {
        for (int i = 0; i < 300; ++i) {
            daemon.signal(i % 3 == 0 ? SIGALRM : (i % 3 == 1 ? SIGTERM : SIGCHLD));
            std::this_thread::sleep_for(1ms);
        }
    });
    int replies = 0;
    for (int batch = 0; batch < kQueries / kBatch; ++batch) {
        for (int i = 0; i < kBatch; ++i) peer.sendRequest(REQ_QUERY);
        for (int received = 0; received < kBatch;) {
            auto record = peer.receive(kEventCap);
            if (!record) break;
            if (record->type == AI_REPLY && record->param == 0) ++received, ++replies;
        }
    }
    signaller.join();
    EXPECT_EQ(replies, kQueries);
    peer.sendRequest(REQ_QUERY);
    ASSERT_TRUE(peer.awaitRecord(AI_REPLY, 0, kEventCap));
    std::string err = daemon.standardError();
    expectWellFormedLog(err.substr(0, err.rfind('\n') + 1));
    EXPECT_EQ(countOf(err, "unknown message from socket"), 0u) << err;
    EXPECT_EQ(countOf(err, "socket message length error"), 0u) << err;
    EXPECT_GE(countOf(err, "SIGTERM receiced and ignored !!\n"), 1u);
    // No alarm was armed: a stray SIGALRM times out nothing.
    EXPECT_EQ(countOf(err, "Update step timed out !!!"), 0u);
    EXPECT_GE(countOf(err, "Child dead signal arrived\n"), 1u);
}

// Fills the receive queue of the socket at path with triggers from a stranger; how many.
std::size_t fillQueueOf(const char* path) {
    int stranger = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    AiMessage filler = makeHeaderFrame(AI_TRIGGER, 0, kAiHeaderSize);
    std::size_t fillers = 0;
    while (sendDatagram(stranger, path, &filler, kAiHeaderSize, MSG_DONTWAIT)) ++fillers;
    EXPECT_EQ(errno, EAGAIN);
    close(stranger);
    return fillers;
}

// A peer that is away for 10 s when its update ends (its queue full, or no socket bound at its
// address) gets the final notice once it is back; meanwhile the daemon waits for nobody: the
// replies to 20 queries that find no room are sent once and logged, and the update runs on.
enum class PeerAway { QueueFull, Unbound };

class PeerAwayAtTheEnd : public testing::TestWithParam<PeerAway> {};

TEST_P(PeerAwayAtTheEnd, GetsTheFinalNoticeOnceBack) {
    std::map<std::string, std::string> files{{"updatetodo.txt", "PPCBOOT\n"}};
    writeWholeFile("/tmp/image", makeUpdateImage(files, false));
    auto peer = std::make_unique<TestPeer>();
    SimDaemon daemon;
    daemon.start();
    ASSERT_TRUE(peer->awaitRecord(AI_NOTICE, 0, kEventCap));
    std::size_t fillers = 0;
    if (GetParam() == PeerAway::QueueFull) {
        fillers = fillQueueOf(kAiPeerPath);
        for (int i = 0; i < 20; ++i) peer->sendRequest(REQ_QUERY);
    }
    peer->sendRequest(REQ_START_UPDATE);
    if (GetParam() == PeerAway::Unbound) peer.reset();
    ASSERT_TRUE(eventually(
        [] {
            return readWholeFile("/tmp/update.log").find("*UPDATE_FINISHED* ... OK\n") !=
                   std::string::npos;
        },
        kEventCap));
    std::this_thread::sleep_for(onBoard(10s));
    if (!peer) peer = std::make_unique<TestPeer>();
    auto finished = peer->awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "OK");
    EXPECT_EQ(peer->skipped().size(), fillers);
    EXPECT_FALSE(peer->receive(1s)) << "one final notice";
    const std::string err = daemon.standardError();
    // The 21st failed send (the notice's first try) is over the minute's allowance.
    EXPECT_EQ(countOf(err, "socket write errno"), fillers > 0 ? 20u : 1u) << err;
    EXPECT_EQ(countOf(err, "notice 2 not delivered; tried again every 200 ms\n"), 1u) << err;
    EXPECT_EQ(countOf(err, "notice 2 delivered at try "), 1u) << err;
}

INSTANTIATE_TEST_SUITE_P(Daemon, PeerAwayAtTheEnd,
                         testing::Values(PeerAway::QueueFull, PeerAway::Unbound));

// Sends command to the daemon as the user uid, from a process of that user.
void requestAs(uid_t uid, std::int32_t command) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(uid) != 0 || setuid(uid) != 0) _exit(1);
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        AiMessage request = makeHeaderFrame(AI_REQUEST, command, kAiHeaderSize);
        _exit(sendDatagram(fd, kAiOwnPath, &request, kAiHeaderSize) ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Only root and the daemon's own user may start an update or stop the daemon: another user's
// requests are logged and change nothing. And the image must be a plain file: a link at
// /tmp/image, even to a valid image, is refused as a damaged image is.
TEST(Daemon, OnlyRootMayAskAndOnlyForAPlainImage) {
    writeWholeFile("/tmp/valid", makeUpdateImage({{"updatetodo.txt", "PPCBOOT\n"}}, false));
    ASSERT_EQ(symlink("/tmp/valid", "/tmp/image"), 0);
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    // (First the report of no update at the first time-out.)
    ASSERT_TRUE(peer.awaitRecord(AI_NOTICE, 2, kEventCap));
    // A board where any process may write to the daemon's socket.
    ASSERT_EQ(chmod(kAiOwnPath, 0777), 0);
    requestAs(65534, REQ_START_UPDATE);
    requestAs(65534, REQ_STOP);
    EXPECT_TRUE(eventually(
        [&] { return countOf(daemon.standardError(), " from uid 65534 refused: ") == 2; },
        kEventCap))
        << daemon.standardError();
    EXPECT_FALSE(peer.receive(onBoard(2s))) << "nothing is answered, nothing started";
    peer.sendRequest(REQ_START_UPDATE);
    auto refused = peer.awaitRecord(AI_REPLY, 1, kEventCap);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->text, std::string("OK", 3));
    auto finished = peer.awaitRecord(AI_NOTICE, 2, kEventCap);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->text, "NOK");
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "*UPDATE_FINISHED* ... OK\n"
              "request 1 from uid 65534 refused: only root or uid 0 may ask \n"
              "request 3 from uid 65534 refused: only root or uid 0 may ask \n"
              "File opening error for file :/tmp/image errno = 40 Too many levels of symbolic "
              "links \n*UPDATE_FINISHED* ... NOK\n");
}

// A flood that keeps the daemon's own queue full holds up no step: each runs at its wake-up,
// not at a time-out. (The kernel takes a socket's datagrams to itself past its queue's limit;
// a post that fails all the same is the loop's to do: the socket's own test.) The update's
// time is the point: at the slow clock, the update's own work on a busy machine stays well
// inside a poll time-out.
TEST(SlowClockDaemon, AFloodThatFillsItsOwnQueueDelaysNoStep) {
    writeWholeFile("/tmp/image", sampleUpdateWithoutModule());
    TestPeer peer;
    SimDaemon daemon;
    ASSERT_TRUE(startedAndAnnounced(daemon, peer));
    std::atomic<bool> flooding = true;
    std::atomic<bool> full = false;
    std::thread flooder([&flooding, &full] {
        int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        AiMessage ignored = makeHeaderFrame(AI_REQUEST, REQ_IGNORED, kAiHeaderSize);
        while (flooding)
            if (!sendDatagram(fd, kAiOwnPath, &ignored, kAiHeaderSize, MSG_DONTWAIT)) full = true;
        close(fd);
    });
    // The start request goes into a queue that the flood has filled.
    EXPECT_TRUE(eventually([&full] { return full.load(); }, kEventCap));
    peer.sendRequest(REQ_START_UPDATE);  // waits for room in the full queue
    auto finished = peer.awaitRecord(AI_NOTICE, 2, onBoard(14s));
    flooding = false;
    flooder.join();
    ASSERT_TRUE(finished) << daemon.standardError();
    EXPECT_EQ(finished->text, "OK");
}

}  // namespace
