// The traces of the module's answers on standard output, switched on by kModuleTraceFlags:
// the packets as read (bit 0) and the BCCMD answers field by field (bit 1).
#pragma once

#include <cstdint>
#include <span>

// An HCI event, or a message of the BCCMD channel, byte by byte.
void tracePacket(std::span<const std::uint8_t> bytes, bool hciEvent);

// A BCCMD answer: its first traceLength bytes, then its header's fields when it holds them.
void traceAnswer(std::span<const std::uint8_t> payload, std::uint8_t traceLength, bool complete);
// The end of the answer's trace: its refusal, or the value bytes of its words.
void traceAnswerEnd(std::span<const std::uint8_t> value, bool refused);
