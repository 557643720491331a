#include "btlink/answer_trace.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

unsigned byteAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return at < bytes.size() ? bytes[at] : 0;
}

void printBytes(std::span<const std::uint8_t> bytes, const char* format) {
    for (std::uint8_t byte : bytes) std::printf(format, byte);
    std::printf("\n");
}

// The header fields, each high byte first, as the trace shows them.
void printAnswerFields(std::span<const std::uint8_t> payload) {
    static constexpr const char* kLabels[] = {
        "  BCCMD Type:   ", "  BCCMD Length: ", "  BCCMD Seqno:  ", "  BCCMD Varid:  ",
        "  BCCMD Status: ", "  PS-Key ID:    ", "  PS-Key Length:", "  PS-Key Stores:",
    };
    std::printf("  Payl.Descr.:  0x%02x\n", payload[0]);
    for (std::size_t i = 0; i < std::size(kLabels); ++i) {
        std::size_t low = 1 + 2 * i;
        std::printf("%s0x%02x%02x\n", kLabels[i], payload[low + 1], payload[low]);
    }
    std::printf("  PS-Key Value: ");
}

}  // namespace

void tracePacket(std::span<const std::uint8_t> bytes, bool hciEvent) {
    if (hciEvent) {
        std::printf("HCI Event: 0x%02X  len: 0x%02X, typ: 0x%02X 0x%02X hdata: ", byteAt(bytes, 1),
                    byteAt(bytes, 2), byteAt(bytes, 4), byteAt(bytes, 5));
    }
    printBytes(bytes, "0x%02X ");
    std::fflush(stdout);
}

void traceAnswer(std::span<const std::uint8_t> payload, std::uint8_t traceLength, bool complete) {
    std::printf("GET PS-Key response\n");
    printBytes(payload.first(std::min(std::size_t{traceLength}, payload.size())), "0x%02x ");
    if (complete) printAnswerFields(payload);
    std::fflush(stdout);
}

void traceAnswerEnd(std::span<const std::uint8_t> value, bool refused) {
    if (refused) {
        std::printf("request failed (see BCCMD Status) \n");
    } else {
        printBytes(value, "%02x ");
    }
    std::fflush(stdout);
}
