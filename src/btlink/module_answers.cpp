// Reading the module's answers and acting on HCI events; a BCCMD answer goes on to the
// matching (awaited_answer.cpp).
#include "btlink/module_answers.h"

#include <cerrno>

#include "btlink/answer_trace.h"
#include "btlink/module_commands.h"
#include "btlink/module_link.h"
#include "core/byte_order.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "core/platform.h"

namespace {

unsigned byteAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return at < bytes.size() ? bytes[at] : 0;
}

ModuleAnswer hciResetComplete(std::uint8_t status) {
    if (status == 0) return MODULE_ANSWERED;
    UPDATE_ERR_AS(kEventReader, LogLevel::Warning, kErrorOperationFailed,
                  "HCI Reset refused by the module: status 0x%02X \n", status);
    return MODULE_REFUSED;
}
ModuleAnswer bccmdCarrierComplete(std::uint8_t) { return MODULE_NO_ANSWER; }

// The Command Complete events that have an effect: opcode (wire order) and what it means, by
// the event's status. Only the event for the command that waits for its answer has one.
struct HciCompleteHandler {
    std::array<std::uint8_t, 2> opcode;
    ModuleAnswer (*handler)(std::uint8_t status);
};
constexpr std::array<HciCompleteHandler, 2> hciCompleteTable{{
    {{kHciResetOpcodeLow, kHciResetOpcodeHigh}, hciResetComplete},
    {{kBccmdCarrierOpcodeLow, kBccmdCarrierOpcodeHigh}, bccmdCarrierComplete},
}};

}  // namespace

ModuleAnswer handleHciEvent(std::span<const std::uint8_t> event) {
    if (kModuleTraceFlags & kTraceModulePackets) tracePacket(event, true);
    unsigned code = byteAt(event, 1);
    switch (code) {
        case kHciCommandComplete: {
            UPDATE_LOG_AS(kEventReader, LogLevel::Detail,
                          "Command Complete event for command 0x%02X 0x%02X received\n",
                          byteAt(event, 4), byteAt(event, 5));
            ModuleAnswer result = MODULE_NO_ANSWER;
            if (event.size() < 6) return result;
            // Only the event for the command that waits for it counts.
            std::uint16_t opcode = readLittleEndian16(&event[4]);
            if (awaitedAnswer.kind != AwaitedKind::HciCommand ||
                awaitedAnswer.opcodeOrKey != opcode)
                return result;
            // An event without its status can't say that the command succeeded.
            std::uint8_t status = event.size() > 6 ? event[6] : 0xFF;
            for (const HciCompleteHandler& entry : hciCompleteTable) {
                if (entry.opcode[0] != event[4] || entry.opcode[1] != event[5]) continue;
                ModuleAnswer handled = entry.handler(status);
                if (handled != MODULE_NO_ANSWER) {
                    result = handled;
                    awaitedAnswer = {};
                }
            }
            return result;
        }
        case kHciCommandStatus:
            UPDATE_LOG_AS(kEventReader, LogLevel::Detail,
                          "Command Status event 0x%02X for command 0x%02X 0x%02X received\n",
                          byteAt(event, 3), byteAt(event, 5), byteAt(event, 6));
            return MODULE_NO_ANSWER;
        case kHciVendorEvent:
            UPDATE_LOG_AS(kEventReader, LogLevel::Detail,
                          "Extended Hci complete 0x%02X  received\n", byteAt(event, 3));
            return vendorEventAnswer(event);
        default:
            UPDATE_ERR_AS(kEventReader, LogLevel::Warning, kErrorOperationFailed,
                          "unexpected hci event 0x%02X received \n", code);
            return MODULE_NO_ANSWER;
    }
}

ModuleAnswer handleBccmdChannelMessage(std::span<const std::uint8_t> buffer) {
    if (kModuleTraceFlags & kTraceModulePackets) tracePacket(buffer, false);
    return pskeyReqRsp(buffer, static_cast<std::uint8_t>(buffer.size() & 0xFF));
}

ModuleAnswer readBtModule() {
    std::array<std::uint8_t, kMaxHciEventSize> event;
    int fd = moduleLinkDescriptor();
    ssize_t count = fd < 0 ? (errno = EBADF, -1) : devRead(fd, event.data(), event.size());
    if (count <= 0) {
        UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                   "read error from module: counter = %d; error %d %m \n", static_cast<int>(count),
                   errno);
        return MODULE_NO_ANSWER;
    }
    return handleHciEvent(std::span(event.data(), static_cast<std::size_t>(count)));
}

ModuleAnswer readBtModuleBccmdChannel() {
    std::array<std::uint8_t, 1 + kMaxBccmdChannelRead> buffer;
    buffer[0] = 0;
    int fd = moduleLinkDescriptor();
    ssize_t count =
        fd < 0 ? (errno = EBADF, -1) : devRead(fd, buffer.data() + 1, kMaxBccmdChannelRead);
    if (count <= 0) {
        UPDATE_ERR(LogLevel::Warning, kErrorOperationFailed,
                   "BCCMD read error from module: counter = %d; error %d %m \n",
                   static_cast<int>(count), errno);
        return MODULE_NO_ANSWER;
    }
    return handleBccmdChannelMessage(std::span(buffer.data(), 1 + static_cast<std::size_t>(count)));
}
