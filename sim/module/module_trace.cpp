#include "sim/module/module_trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "sim/sim_state.h"
#include "sim/state_files.h"

namespace {

void putBe32(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        bytes.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::uint64_t unixMicroseconds(std::chrono::system_clock::time_point when) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count());
}

// Appends the record in one write, after the header when the file is new or empty.
void appendToTrace(const std::vector<std::uint8_t>& record) {
    int fd = ::open(simStatePath(kModuleTraceFile).c_str(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    std::vector<std::uint8_t> bytes;
    struct stat info {};
    if (fstat(fd, &info) == 0 && info.st_size == 0) bytes = btsnoopHeader();
    bytes.insert(bytes.end(), record.begin(), record.end());
    if (::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        // The trace is a help for people; the module works on without it.
    }
    ::close(fd);
}

}  // namespace

std::vector<std::uint8_t> btsnoopHeader() {
    std::vector<std::uint8_t> header{'b', 't', 's', 'n', 'o', 'o', 'p', '\0'};
    putBe32(header, kBtsnoopVersion);
    putBe32(header, kBtsnoopH4Datalink);
    return header;
}

std::vector<std::uint8_t> btsnoopRecord(PacketDirection direction,
                                        std::span<const std::uint8_t> h4Packet,
                                        std::uint64_t unixMicroseconds) {
    std::vector<std::uint8_t> record;
    auto length = static_cast<std::uint32_t>(h4Packet.size());
    putBe32(record, length);
    putBe32(record, length);
    putBe32(record, kBtsnoopCommandOrEvent |
                        (direction == PacketDirection::fromModule ? kBtsnoopReceivedByHost : 0));
    putBe32(record, 0);
    std::uint64_t stamp = unixMicroseconds + kBtsnoopUnixEpoch;
    putBe32(record, static_cast<std::uint32_t>(stamp >> 32));
    putBe32(record, static_cast<std::uint32_t>(stamp));
    record.insert(record.end(), h4Packet.begin(), h4Packet.end());
    return record;
}

void tracePacket(const char* device, PacketDirection direction,
                 std::span<const std::uint8_t> deviceBytes, std::span<const std::uint8_t> h4Packet,
                 const std::string& decoding) {
    auto now = std::chrono::system_clock::now();
    appendToTrace(btsnoopRecord(direction, h4Packet, unixMicroseconds(now)));
    std::string line = timeOfDay(now) + " " + device +
                       (direction == PacketDirection::toModule ? " host>module" : " module>host");
    char hex[4];
    for (std::uint8_t byte : deviceBytes) {
        std::snprintf(hex, sizeof hex, " %02x", byte);
        line += hex;
    }
    appendStateFile(kModuleLogFile, line + " | " + decoding + "\n");
}

void traceNote(const char* device, const std::string& note) {
    appendStateFile(kModuleLogFile,
                    timeOfDay(std::chrono::system_clock::now()) + " " + device + " " + note + "\n");
}
