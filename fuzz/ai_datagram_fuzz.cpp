// The datagrams of the AI socket: any local process may send to "/rb_ai_sock2up", and
// readMessage receives, checks and dispatches whatever comes. The harness binds the peer's
// address "/rb_ai_sock2ad", sends each datagram of the input to the daemon's socket, runs
// readMessage as the main loop would (once, then again for every wake-up the daemon posted to
// itself) and reads what the peer received.
//
// Input: up to 8 datagrams, each a two-byte big-endian length (taken modulo 301, so that the
// cut to 224 bytes is reached) and that many bytes.
//
// Harmless by construction, with the real dispatch: there is never a /tmp/image, so a start
// request runs the real reception, which refuses the missing image at once (reply "OK" with
// parameter 1, an empty step list, the final notice "NOK") without unpacking or running a
// step. The stop request alone is kept from the daemon: it would wait 30 seconds and end the
// process. The harness recognises it by the record's own fields, as a peer writes them, before
// sending; every other datagram goes through unchanged.
//
// Promises checked: a datagram refused for its length, one of an unknown type, an unknown
// request or trigger code brings the peer nothing and leaves the update state alone; a query
// is answered with exactly the identification; a start request without an image brings
// exactly the reply "OK" with parameter 1 and the final notice "NOK"; a child's end or a
// wake-up, coming from the peer and not from the daemon itself, changes nothing; every record the
// peer gets is whole (its length field is its size); the daemon's posts to itself come to an end;
// no file is left in /tmp but the update report.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/ai_socket.h"
#include "core/log.h"
#include "fuzz/fuzz_support.h"
#include "image/update_image.h"
#include "update/update_events.h"
#include "update/update_reception.h"
#include "update/update_state.h"

namespace {

constexpr std::size_t kMaxDatagrams = 8;
constexpr std::size_t kMaxDatagramSize = 300;
// More posts to itself than one datagram can bring: the daemon would keep itself busy.
constexpr int kMaxSelfPosts = 16;

sockaddr_un socketAddress(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path);
    return address;
}

int peerSocket = -1;
const sockaddr_un daemonAddress = socketAddress(kAiOwnPath);

struct Record {
    std::vector<std::uint8_t> bytes;
    std::uint32_t type() const { return field32(4); }
    std::int32_t param() const { return static_cast<std::int32_t>(field32(8)); }
    std::uint16_t length() const {
        std::uint16_t value;
        std::memcpy(&value, bytes.data(), sizeof value);
        return value;
    }
    std::uint32_t field32(std::size_t at) const {
        std::uint32_t value;
        std::memcpy(&value, bytes.data() + at, sizeof value);
        return value;
    }
    std::string text() const {
        return std::string(reinterpret_cast<const char*>(bytes.data()) + 13, bytes[12]);
    }
};

// A datagram as the daemon must classify it, from the record's format alone.
enum class Kind {
    Refused,
    Query,
    Start,
    Stop,
    OtherRequest,
    WakeUp,
    OtherTrigger,
    ChildExit,
    Unknown
};

struct Datagram {
    std::vector<std::uint8_t> bytes;
    Kind kind = Kind::Refused;
    std::int32_t param = 0;
    std::int32_t status = 0;
};

Datagram classify(std::vector<std::uint8_t> bytes) {
    Datagram d;
    d.bytes = std::move(bytes);
    std::size_t received = std::min(d.bytes.size(), kAiReceiveSize);
    if (received < 8) return d;
    std::uint16_t length;
    std::uint32_t type;
    std::memcpy(&length, d.bytes.data(), sizeof length);
    std::memcpy(&type, d.bytes.data() + 4, sizeof type);
    if (length != received) return d;
    std::size_t required = type == AI_CHILD_EXIT                      ? kAiChildExitSize
                           : type == AI_TRIGGER || type == AI_REQUEST ? kAiHeaderSize
                                                                      : 8;
    if (received < required) return d;
    if (received >= 12) std::memcpy(&d.param, d.bytes.data() + 8, sizeof d.param);
    if (received >= 16) std::memcpy(&d.status, d.bytes.data() + 12, sizeof d.status);
    switch (type) {
        case AI_REQUEST:
            d.kind = d.param == REQ_QUERY          ? Kind::Query
                     : d.param == REQ_START_UPDATE ? Kind::Start
                     : d.param == REQ_STOP         ? Kind::Stop
                                                   : Kind::OtherRequest;
            break;
        case AI_TRIGGER:
            d.kind = d.param == WAKE_UP ? Kind::WakeUp : Kind::OtherTrigger;
            break;
        case AI_CHILD_EXIT:
            d.kind = Kind::ChildExit;
            break;
        default:
            d.kind = Kind::Unknown;
            break;
    }
    return d;
}

std::vector<Datagram> parseInput(const std::uint8_t* data, std::size_t size) {
    std::vector<Datagram> datagrams;
    std::size_t at = 0;
    while (datagrams.size() < kMaxDatagrams && at + 2 <= size) {
        std::size_t length = ((std::size_t{data[at]} << 8) | data[at + 1]) % (kMaxDatagramSize + 1);
        at += 2;
        length = std::min(length, size - at);
        datagrams.push_back(classify({data + at, data + at + length}));
        at += length;
    }
    return datagrams;
}

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN);
}

std::vector<Record> receivedByPeer() {
    std::vector<Record> records;
    std::uint8_t buffer[512];
    for (;;) {
        ssize_t n = recv(peerSocket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0) break;
        records.push_back({{buffer, buffer + n}});
    }
    return records;
}

void checkWhole(const Record& record) {
    FUZZ_ASSERT(record.bytes.size() >= kAiHeaderSize, "a record holds its header");
    FUZZ_ASSERT(record.length() == record.bytes.size(), "a record's length field is its size");
    std::uint32_t type = record.type();
    FUZZ_ASSERT(type == AI_REPLY || type == AI_NOTICE || type == AI_TRIGGER,
                "the peer gets replies, notices and triggers");
    if (type != AI_TRIGGER) {
        FUZZ_ASSERT(record.bytes.size() == kAiTextFrameSize && record.bytes[12] <= kAiMaxText,
                    "a text record is a whole text frame");
    }
}

void expectText(const Record& record, std::uint32_t type, std::int32_t param,
                const std::string& text, const char* what) {
    FUZZ_ASSERT(record.type() == type && record.param() == param && record.text() == text, what);
}

struct UpdateState {
    std::int32_t step, state, result, firstListed;
    bool operator==(const UpdateState&) const = default;
};
UpdateState updateState() {
    return {update.currentStep, update.stepState, update.updateResult, update.stepList[0]};
}

// The daemon idle, as after a finished update.
void resetDaemon() {
    update.currentStep = STEP_NONE;
    update.stepState = STATE_WAIT;
    update.updateResult = 1;
    update.stepList.fill(STEP_NONE);
    update.stepListNext = 0;
    update.dfuPid = 0;
    int rounds = 0;
    while (readable(aiSocketDescriptor()) && rounds++ < kMaxSelfPosts) readMessage();
    receivedByPeer();
    removeFile(kUpdateReportPath);
}

void deliver(const Datagram& d) {
    UpdateState before = updateState();
    ssize_t sent = sendto(peerSocket, d.bytes.data(), d.bytes.size(), 0,
                          reinterpret_cast<const sockaddr*>(&daemonAddress), sizeof daemonAddress);
    FUZZ_ASSERT(sent == static_cast<ssize_t>(d.bytes.size()), "the datagram reaches the daemon");
    readMessage();
    int posts = 0;
    while (readable(aiSocketDescriptor())) {
        FUZZ_ASSERT(++posts <= kMaxSelfPosts, "the daemon's posts to itself come to an end");
        readMessage();
    }
    std::vector<Record> records = receivedByPeer();
    for (const Record& record : records) checkWhole(record);

    switch (d.kind) {
        case Kind::Query:
            FUZZ_ASSERT(records.size() == 1, "a query is answered once");
            expectText(records[0], AI_REPLY, 0, std::string(kAiIdentText, kAiIdentLength),
                       "a query is answered with the identification");
            FUZZ_ASSERT(updateState() == before, "a query leaves the update alone");
            break;
        case Kind::Start:
            FUZZ_ASSERT(records.size() == 2, "a start without image: a reply and a notice");
            expectText(records[0], AI_REPLY, 1, std::string("OK", 3),
                       "a refused image is answered \"OK\" with parameter 1");
            expectText(records[1], AI_NOTICE, 2, "NOK", "a refused image ends the update NOK");
            FUZZ_ASSERT(update.currentStep == STEP_NONE && update.stepList[0] == STEP_NONE,
                        "a refused image runs no step");
            FUZZ_ASSERT(!fileExists("/tmp/image1.gz") && !fileExists("/tmp/image1") &&
                            !fileExists(kUpdateFolder),
                        "a refused image unpacks nothing");
            break;
        case Kind::ChildExit:
            FUZZ_ASSERT(records.empty(), "a child's end brings the peer nothing");
            FUZZ_ASSERT(updateState() == before,
                        "a child's end from another sender changes nothing");
            break;
        case Kind::Stop:
            FUZZ_ASSERT(false, "the stop request never reaches the daemon here");
            break;
        case Kind::WakeUp:
            // Idle: the finished update is not reported twice.
            FUZZ_ASSERT(records.empty(), "a wake-up of the idle daemon brings the peer nothing");
            FUZZ_ASSERT(updateState() == before, "a wake-up of the idle daemon changes nothing");
            break;
        case Kind::Refused:
        case Kind::OtherRequest:
        case Kind::OtherTrigger:
        case Kind::Unknown:
            FUZZ_ASSERT(records.empty(), "a datagram without meaning brings the peer nothing");
            FUZZ_ASSERT(updateState() == before, "a datagram without meaning changes nothing");
            break;
    }
}

}  // namespace

void setUpHarness() {
    FUZZ_ASSERT(openAiSocket(kAiOwnPath) >= 0, "the daemon's socket opens");
    setAiDestination(kAiPeerPath);
    unlink(kAiPeerPath);
    peerSocket = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un peer = socketAddress(kAiPeerPath);
    FUZZ_ASSERT(peerSocket >= 0 &&
                    bind(peerSocket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0,
                "the peer's socket binds");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    removeFile(kImagePath);
    resetDaemon();
    for (const Datagram& d : parseInput(data, size)) {
        if (d.kind == Kind::Stop) continue;
        deliver(d);
    }
    return 0;
}
