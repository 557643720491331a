#include "btlink/answer_trace.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {

unsigned byteAt(std::span<const std::uint8_t> bytes, std::size_t at) {
    return at < bytes.size() ? bytes[at] : 0;
}

enum class ByteStyle { PrefixedUpper, PrefixedLower, Plain };

void printBytes(std::span<const std::uint8_t> bytes, ByteStyle style) {
    for (std::uint8_t byte : bytes) {
        switch (style) {
            case ByteStyle::PrefixedUpper:
                std::printf("0x%02X ", byte);
                break;
            case ByteStyle::PrefixedLower:
                std::printf("0x%02x ", byte);
                break;
            case ByteStyle::Plain:
                std::printf("%02x ", byte);
                break;
        }
    }
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
    printBytes(bytes, ByteStyle::PrefixedUpper);
    std::fflush(stdout);
}

void traceAnswer(std::span<const std::uint8_t> payload, std::uint8_t traceLength, bool complete) {
    std::printf("GET PS-Key response\n");
    printBytes(payload.first(std::min(std::size_t{traceLength}, payload.size())),
               ByteStyle::PrefixedLower);
    if (complete) printAnswerFields(payload);
    std::fflush(stdout);
}

void traceAnswerEnd(std::span<const std::uint8_t> value, bool refused) {
    if (refused) {
        std::printf("request failed (see BCCMD Status) \n");
    } else {
        printBytes(value, ByteStyle::Plain);
    }
    std::fflush(stdout);
}
