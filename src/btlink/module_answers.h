// What the Bluetooth module sends back. On the HCI device: HCI events, Command Complete for
// HCI Reset and a vendor-specific event carrying a BCCMD answer behind its payload descriptor;
// on the BCCMD channel: the bare BCCMD answer. Both paths end in pskeyReqRsp, which appends
// the PS-Keys that the reading walk asked for to the dump "/tmp/pskeydump.psr".
//
// Nothing here touches the step's state: each operation reports whether an answer arrived, and
// the main loop sets STATE_ANSWER for it before it runs the state machine.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "btlink/pskey_line.h"
#include "core/update_paths.h"

enum ModuleAnswer : int {
    MODULE_NO_ANSWER = 0,  // nothing the step waits for (read failure, other event, an answer
                           // to another request, ...)
    MODULE_ANSWERED = 1,   // the module answered the last command: the step may go on
    MODULE_REFUSED = 2,    // the module refused the HCI Reset (logged): the step can't go on
};

// HCI event: packet type (0x04, not examined), event code, parameter length, parameters.
inline constexpr std::size_t kMaxHciEventSize = 258;
inline constexpr std::uint8_t kHciCommandComplete = 0x0E;
inline constexpr std::uint8_t kHciCommandStatus = 0x0F;
inline constexpr std::uint8_t kHciVendorEvent = 0xFF;
// A message of the BCCMD channel is read behind one 0 byte that stands for the payload
// descriptor of the HCI path, so that pskeyReqRsp sees one layout.
inline constexpr std::size_t kMaxBccmdChannelRead = 1031;

// A BCCMD answer as pskeyReqRsp sees it: byte 0 the payload descriptor, then the message, each
// field one byte further than in the request.
inline constexpr std::size_t kAnswerHeaderSize = 17;
struct PsKeyAnswer {
    bool complete = false;  // the payload holds the whole header
    std::uint16_t type = 0;
    std::uint16_t varid = 0;
    std::uint16_t status = 0;
    std::uint16_t claimedWords = 0;  // the answer's PS-Key length word
    PsKey key;                       // id and the value words taken: at most the claimed
                                     // count, 40, and the words actually received
};
PsKeyAnswer decodePsKeyAnswer(std::span<const std::uint8_t> payload);

// Acts on one HCI event (the bytes of one read): logs it, runs the Command Complete handlers,
// passes a vendor-specific event's payload to pskeyReqRsp. Traces with bit 0.
ModuleAnswer handleHciEvent(std::span<const std::uint8_t> event);

// Acts on one read of the BCCMD channel: buffer holds the 0 byte and then the message read.
// Traces with bit 0.
ModuleAnswer handleBccmdChannelMessage(std::span<const std::uint8_t> buffer);

// Acts on a vendor-specific HCI event: its payload goes to pskeyReqRsp when it is a whole
// BCCMD message; any other is logged (once per step) and ignored.
ModuleAnswer vendorEventAnswer(std::span<const std::uint8_t> event);

// Records a BCCMD answer: payload holds the bytes really received (descriptor first);
// traceLength, the length the packet claims, bounds only the trace. Only the answer to the
// PS-Key request that waits for it counts: a get response of the PS-Key varid for the key
// asked; anything else is logged (once per kind and step) and ignored, so that the request's
// own answer or its alarm decides. An answer shorter than its header can't name its request:
// it counts as the awaited one's, malformed. A status-0 answer to a get request appends its
// key line to the dump. Refused and malformed answers are answers too: the walk moves on.
ModuleAnswer pskeyReqRsp(std::span<const std::uint8_t> payload, std::uint8_t traceLength);

// The answers since the last reset that a step may not take for good ones: refused (a
// non-zero status to a set; to a get it means that the key isn't held) and malformed (shorter
// than their header, or claiming more words than they carry or than a key holds).
std::int32_t refusedAnswers();
std::int32_t malformedAnswers();
// The keys appended to the dump since the last reset, and the dump lines that couldn't be
// written whole (logged).
std::int32_t dumpedKeys();
std::int32_t failedDumpWrites();
// Logs (level 2, standard error) how many gets since the last reset came back with each
// non-zero status, that is, not held.
void logUnheldStatuses();
// Logs (standard error and the report) every PS-Key whose set the module refused since the
// last reset, the first eight and "..." beyond, when there were two or more: the first
// refusal's own line names one key only, and boards that refuse different keys must not read
// alike.
void logRefusedKeys();
// Forgets them, the awaited answer and which kinds of ignored answers were logged; called when
// a step ends.
void resetAnswerCounts();

// Reads one HCI event from the module link (called when its entry reports POLLIN and POLLPRI).
ModuleAnswer readBtModule();
// An event is reported in the name of the operation that read it, also where a decoder of its
// answer finds what it reports.
inline constexpr const char* kEventReader = "readBtModule";
// Reads one message of the BCCMD channel (called when its entry reports POLLIN alone).
ModuleAnswer readBtModuleBccmdChannel();
