// Test helpers for the simulated board: a peer on the AI socket, the simulated-board daemon
// as a child process, and small file helpers. Tests run inside the board's sandbox, so the
// paths here are the board's own (/tmp, /etc, /rb_ai_sock2ad).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/ai_socket.h"

// One datagram as the peer received it.
struct ReceivedRecord {
    std::uint32_t type = 0;
    std::int32_t param = 0;
    std::string text;                 // text frames: the L bytes of text
    std::vector<std::uint8_t> bytes;  // the whole datagram
};

// The peer: binds "/rb_ai_sock2ad" and talks to "/rb_ai_sock2up". Bound elsewhere, it is a
// stranger that the daemon must not take for its peer.
class TestPeer {
public:
    explicit TestPeer(const char* address = kAiPeerPath);
    ~TestPeer();
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    void sendRequest(std::int32_t command);
    void sendTrigger(std::int32_t code);
    // Sends bytes as one datagram to the daemon's address.
    void sendRaw(const void* bytes, std::size_t length);
    // The next datagram, or nothing after timeout.
    std::optional<ReceivedRecord> receive(std::chrono::milliseconds timeout);
    // Receives until a record of type and param arrives (the records before it are kept in
    // skipped()); nothing after timeout.
    std::optional<ReceivedRecord> awaitRecord(std::uint32_t type, std::int32_t param,
                                              std::chrono::milliseconds timeout);
    const std::vector<ReceivedRecord>& skipped() const { return skipped_; }
    int descriptor() const { return fd_; }

private:
    std::string address_;
    int fd_ = -1;
    std::vector<ReceivedRecord> skipped_;
};

// The daemon of the simulated board, started as a child process (under the board's emulator
// on a cross build). Its standard output and error go to files in /tmp.
class SimDaemon {
public:
    SimDaemon() = default;
    ~SimDaemon();  // kills it if still running
    SimDaemon(const SimDaemon&) = delete;
    SimDaemon& operator=(const SimDaemon&) = delete;

    // Starts the daemon; returns once its socket "/rb_ai_sock2up" exists. With pathFirst, the
    // board's commands are looked up in that folder first (a test's stand-ins). With
    // errorOutput, its standard error goes to that descriptor instead of its file in /tmp
    // (a test that reads it as it comes writes it there itself).
    void start(const std::string& pathFirst = {}, int errorOutput = -1);
    // Sends a signal.
    void signal(int number);
    // Waits for its end; its wait status, or nothing after timeout.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);
    // Kills it (SIGKILL) and reaps it.
    void kill();
    pid_t pid() const { return pid_; }
    std::string standardOutput() const;
    std::string standardError() const;

private:
    pid_t pid_ = -1;
};

// Sends length bytes as one datagram from the socket fd to the socket at path; whether they went.
bool sendDatagram(int fd, const char* path, const void* bytes, std::size_t length, int flags = 0);

// Starts the daemon as SimDaemon::start does and waits for its start-up notice; whether it came.
bool startedAndAnnounced(SimDaemon& daemon, TestPeer& peer, const std::string& pathFirst = {},
                         int errorOutput = -1);

// Places image at /tmp/image, starts the daemon, waits for its start-up notice, sends the
// start request and waits for the final notice: its text ("OK", "NOK"), or "no final notice"
// after limit. With pathFirst, the board's commands are looked up in that folder first.
std::string runUpdateOnBoard(SimDaemon& daemon, TestPeer& peer,
                             const std::vector<std::uint8_t>& image, std::chrono::seconds limit,
                             const std::string& pathFirst = {});

// The real time that a time of the board's clock takes: the board's clock runs clock.speed
// times faster (sim/board-run --clock-speed). For the waits that stand for board time: a peer
// that reads nothing for 10 s, queries every 4 s, an answer that must come within a step's time.
std::chrono::milliseconds onBoard(std::chrono::milliseconds boardTime);

// A program run as the board's shell runs it (commandLine through /bin/sh), to its end: its
// exit status (-1 when it didn't exit), standard output and standard error.
struct ProgramRun {
    int status;
    std::string out, err;
};
ProgramRun runProgram(const std::string& commandLine);

// How often part occurs in text.
std::size_t countOf(const std::string& text, const std::string& part);
// The first group of each match of pattern in text, in order; and their sum, as counts.
std::vector<std::string> firstGroups(const std::string& text, const std::regex& pattern);
std::size_t sumOfCounts(const std::string& text, const std::regex& count);

// The keys of the set requests that the simulated module received, in order ("01f9").
std::vector<std::string> moduleKeysSet();

std::string readWholeFile(const std::string& path);
bool fileExists(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& content);
void writeWholeFile(const std::string& path, const std::vector<std::uint8_t>& content);

// Whether the "SigIgn:" line of a /proc/PID/status text has SIGPIPE ignored.
bool ignoresSigpipe(const std::string& status);

// The cap of a wait for what the daemon, the board or a program will do (a datagram, a line of
// a report or log, a process's end): the wait ends when it happens, so the cap only ends a
// test that hangs. Generous: the board under qemu-ppc on a loaded machine takes many times a
// quiet one's time, and a test must not fail for that. (A wait that stands for board time, a
// peer away for 10 s, takes onBoard(); one that expects nothing may be short.)
constexpr std::chrono::seconds kEventCap{240};
// aipeer's option for the same cap on each answer.
inline const std::string kAipeerTimeout = "--timeout " + std::to_string(kEventCap.count());

// Polls until predicate holds or timeout passes; true when it held.
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout);

// The log lines of standard error without their time stamps ("hh:mm:ss.mmm" becomes
// "TIME"), for exact comparisons.
std::string withoutTimestamps(const std::string& log);

#include "board_eventually.h"
