// The devices of the simulated module: open handles, the answers on their way over the serial
// line, the BCCMD channel's setup, the module reset and the faults.
#include <fcntl.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <span>
#include <string_view>
#include <thread>

#include "sim/module/answer_builder.h"
#include "sim/module/module_model.h"
#include "sim/module/module_trace.h"
#include "sim/sim_clock.h"
#include "sim/state_files.h"

namespace {

using Clock = std::chrono::steady_clock;

struct PendingAnswer {
    ModulePacket bytes;
    Clock::time_point readyAt;
};

// One module device: its answers not yet read, and its open handles.
struct ModuleLink {
    const char* path;
    std::deque<PendingAnswer> answers;
    struct Handle {
        bool used = false;
        int flags = 0;
        std::size_t setupDone = 0;  // BCCMD channel: setup requests accepted so far
    };
    std::array<Handle, 8> handles{};
};

ModuleLink hciLink{kModuleHciPath, {}, {}};
ModuleLink bccmdLink{kModuleBccmdPath, {}, {}};
// The serial line carries one packet at a time: when it is free again.
Clock::time_point lineFreeAt{};

// What an exchange's fault does; the words of module.fault that act on exchanges.
enum class ExchangeFault {
    none,
    silent,
    status,
    refuseReset,
    cmdstatus,
    unknown,
    otherKey,
    shortAnswer,
    longAnswer
};
struct ExchangeFaultWord {
    const char* word;
    ExchangeFault fault;
};
constexpr std::array<ExchangeFaultWord, 8> kExchangeFaults{{
    {"silent", ExchangeFault::silent},
    {"status", ExchangeFault::status},
    {"refuse-reset", ExchangeFault::refuseReset},
    {"cmdstatus", ExchangeFault::cmdstatus},
    {"unknown", ExchangeFault::unknown},
    {"otherkey", ExchangeFault::otherKey},
    {"short", ExchangeFault::shortAnswer},
    {"long", ExchangeFault::longAnswer},
}};

// A BCCMD answer for another key goes ahead of each answer of the "otherkey" fault.
void putAnswerForAnotherKey(std::vector<ModulePacket>& answers, std::size_t messageAt) {
    if (answers.empty()) return;
    ModulePacket other = withAnotherKey(answers.back(), messageAt);
    answers.insert(answers.end() - 1, std::move(other));
}

int fail(int error) {
    errno = error;
    return -1;
}

std::span<const std::uint8_t> bytesOf(const void* buffer, std::size_t count) {
    return {static_cast<const std::uint8_t*>(buffer), count};
}

ModuleLink::Handle* findHandle(ModuleLink& link, int handle) {
    if (handle < 0 || handle >= static_cast<int>(link.handles.size()) ||
        !link.handles[static_cast<std::size_t>(handle)].used) {
        errno = EBADF;
        return nullptr;
    }
    return &link.handles[static_cast<std::size_t>(handle)];
}

int openHandle(ModuleLink& link, int flags) {
    auto free = std::find_if(link.handles.begin(), link.handles.end(),
                             [](const ModuleLink::Handle& h) { return !h.used; });
    if (free == link.handles.end()) return fail(EMFILE);
    *free = ModuleLink::Handle{true, flags, 0};
    return static_cast<int>(free - link.handles.begin());
}

std::string firstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

bool moduleStartsInBcsp() { return firstLine(stateFileText(kModuleModeFile)) == "bcsp"; }

bool moduleAnswersHci() { return !moduleStartsInBcsp() && !bcspDriverLoaded(); }

std::string modeText() {
    if (moduleStartsInBcsp()) return "BCSP mode";
    return bcspDriverLoaded() ? "the BCSP driver owns the serial line" : "HCI mode";
}

void dropAnswers(ModuleLink& link, const char* why) {
    if (link.answers.empty()) return;
    traceNote(link.path,
              std::to_string(link.answers.size()) + " answer(s) not read dropped by " + why);
    link.answers.clear();
}

ExchangeFault exchangeFault() {
    std::string word = firstLine(stateFileText(kModuleFaultFile));
    word = word.substr(0, word.find(' '));
    for (const ExchangeFaultWord& entry : kExchangeFaults) {
        if (word == entry.word) {
            return faultStrikes(kModuleFaultFile, entry.word) ? entry.fault : ExchangeFault::none;
        }
    }
    return ExchangeFault::none;
}

AnswerFault answerFault(ExchangeFault fault) {
    switch (fault) {
        case ExchangeFault::status:
            return AnswerFault::status;
        case ExchangeFault::shortAnswer:
            return AnswerFault::shortAnswer;
        case ExchangeFault::longAnswer:
            return AnswerFault::longAnswer;
        default:
            return AnswerFault::none;
    }
}

// Puts the answers on their way: each becomes readable once the request and the answers up
// to it have passed the serial line.
void sendAnswers(ModuleLink& link, std::size_t requestBytes, std::vector<ModulePacket> answers) {
    Clock::time_point at =
        std::max(Clock::now(), lineFreeAt) + realTimeOf(moduleWireTime(requestBytes));
    for (ModulePacket& answer : answers) {
        at += realTimeOf(moduleWireTime(answer.size()));
        link.answers.push_back(PendingAnswer{std::move(answer), at});
    }
    lineFreeAt = at;
}

// The answer at the head of the link once it is readable, waiting for it on a blocking open.
PendingAnswer* readableAnswer(ModuleLink& link, const ModuleLink::Handle& handle) {
    if (link.answers.empty()) return nullptr;
    PendingAnswer& head = link.answers.front();
    if ((handle.flags & O_NONBLOCK) == 0) std::this_thread::sleep_until(head.readyAt);
    return Clock::now() >= head.readyAt ? &head : nullptr;
}

std::optional<std::chrono::nanoseconds> untilReady(const ModuleLink& link) {
    if (link.answers.empty()) return std::nullopt;
    return std::max(std::chrono::nanoseconds(0),
                    std::chrono::nanoseconds(link.answers.front().readyAt - Clock::now()));
}

bool headReady(const ModuleLink& link) {
    return !link.answers.empty() && Clock::now() >= link.answers.front().readyAt;
}

int closeHandle(ModuleLink& link, int handle) {
    ModuleLink::Handle* open = findHandle(link, handle);
    if (open == nullptr) return -1;
    *open = ModuleLink::Handle{};
    bool lastOpen = std::none_of(link.handles.begin(), link.handles.end(),
                                 [](const ModuleLink::Handle& h) { return h.used; });
    if (lastOpen) dropAnswers(link, "the close");
    return 0;
}

bool setupComplete(const ModuleLink::Handle& handle) {
    return handle.setupDone == kBcspSetupRequests.size();
}

}  // namespace

std::chrono::nanoseconds moduleWireTime(std::size_t bytes) {
    std::string text = stateFileText(kModuleBaudFile);
    char* end = nullptr;
    unsigned long baud = std::strtoul(text.c_str(), &end, 10);
    if (end == text.c_str()) baud = kModuleDefaultBaud;
    if (baud == 0) return std::chrono::nanoseconds(0);
    constexpr std::uint64_t kBitsPerByte = 10;  // 8N1: start bit, 8 data bits, stop bit
    return std::chrono::nanoseconds(static_cast<std::int64_t>(static_cast<std::uint64_t>(bytes) *
                                                              kBitsPerByte * 1000000000ULL / baud));
}

bool bcspDriverLoaded() {
    std::string_view log;
    std::string text = stateFileText(kInsmodLogFile);
    log = text;
    std::array<bool, kBcspDriverModules.size()> loaded{};
    while (!log.empty()) {
        std::string_view line = log.substr(0, log.find('\n'));
        log.remove_prefix(std::min(log.size(), line.size() + 1));
        std::string_view name = line.substr(line.rfind('/') + 1);
        for (std::size_t i = 0; i < kBcspDriverModules.size(); ++i) {
            if (name == kBcspDriverModules[i]) loaded[i] = true;
        }
    }
    return std::all_of(loaded.begin(), loaded.end(), [](bool b) { return b; });
}

std::string moduleFirmwareVersion() {
    std::string version = firstLine(stateFileText(kModuleFirmwareFile));
    return version.empty() ? kModuleDefaultFirmware : version;
}

// --- "/dev/cfUaB0" ---

int moduleHciOpen(int flags) {
    if (faultStrikes(kModuleFaultFile, "missing-cfUaB0")) return fail(ENOENT);
    int handle = openHandle(hciLink, flags);
    if (handle >= 0) {
        traceNote(kModuleHciPath,
                  "opened; module firmware " + moduleFirmwareVersion() + ", " + modeText());
    }
    return handle;
}

ssize_t moduleHciWrite(int handle, const void* buffer, std::size_t count) {
    ModuleLink::Handle* open = findHandle(hciLink, handle);
    if (open == nullptr) return -1;
    if ((open->flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
    std::span<const std::uint8_t> command = bytesOf(buffer, count);
    if (count < 4 || command[0] != kHciCommandPacket || command[3] != count - 4) {
        traceNote(kModuleHciPath,
                  "write of " + std::to_string(count) + " bytes refused: not one HCI command");
        return fail(EINVAL);
    }
    tracePacket(kModuleHciPath, PacketDirection::toModule, command, command,
                describeHciPacket(command));
    if (!moduleAnswersHci()) {
        traceNote(kModuleHciPath, "no answer: " + modeText());
        return static_cast<ssize_t>(count);
    }
    ExchangeFault fault = exchangeFault();
    std::vector<ModulePacket> answers;
    if (fault == ExchangeFault::cmdstatus) {
        answers.push_back(commandStatusEvent(getLe16(command, 1), kHciCommandDisallowed));
    } else if (fault != ExchangeFault::silent) {
        if (fault == ExchangeFault::unknown)
            answers.push_back({kHciEventPacket, kHardwareErrorEvent, 1, 0});
        // The "refuse-reset" fault refuses the HCI Reset alone.
        bool refused =
            fault == ExchangeFault::refuseReset && getLe16(command, 1) == kHciResetOpcode;
        AnswerFault content = refused ? AnswerFault::status : answerFault(fault);
        for (ModulePacket& answer : answerHciCommand(command, content)) {
            answers.push_back(std::move(answer));
        }
        if (fault == ExchangeFault::otherKey && answers.back()[1] == kVendorEvent)
            putAnswerForAnotherKey(answers, 4);
    } else {
        traceNote(kModuleHciPath, "no answer: fault silent");
    }
    sendAnswers(hciLink, count, std::move(answers));
    return static_cast<ssize_t>(count);
}

ssize_t moduleHciRead(int handle, void* buffer, std::size_t count) {
    ModuleLink::Handle* open = findHandle(hciLink, handle);
    if (open == nullptr) return -1;
    PendingAnswer* answer = readableAnswer(hciLink, *open);
    if (answer == nullptr) return fail(EAGAIN);
    if (count == 0) return 0;
    std::size_t n = std::min(count, answer->bytes.size());
    std::memcpy(buffer, answer->bytes.data(), n);
    tracePacket(kModuleHciPath, PacketDirection::fromModule, answer->bytes, answer->bytes,
                describeHciPacket(answer->bytes));
    hciLink.answers.pop_front();
    return static_cast<ssize_t>(n);
}

int moduleHciClose(int handle) { return closeHandle(hciLink, handle); }

short moduleHciPollEvents(int handle) {
    if (findHandle(hciLink, handle) == nullptr) return POLLNVAL;
    return headReady(hciLink) ? static_cast<short>(POLLIN | POLLPRI) : 0;
}

std::optional<std::chrono::nanoseconds> moduleHciUntilReady(int handle) {
    if (findHandle(hciLink, handle) == nullptr) return std::nullopt;
    return untilReady(hciLink);
}

// --- "/dev/bcspRel2" ---

int moduleBccmdOpen(int flags) {
    if (faultStrikes(kModuleFaultFile, "missing-bcspRel2")) return fail(ENOENT);
    if (!bcspDriverLoaded()) return fail(ENOENT);
    int handle = openHandle(bccmdLink, flags);
    if (handle >= 0) {
        traceNote(kModuleBccmdPath,
                  "opened; module firmware " + moduleFirmwareVersion() + ", " + modeText());
    }
    return handle;
}

int moduleBccmdIoctl(int handle, unsigned long request, void* arg) {
    ModuleLink::Handle* open = findHandle(bccmdLink, handle);
    if (open == nullptr) return -1;
    auto known = std::find_if(kBcspSetupRequests.begin(), kBcspSetupRequests.end(),
                              [request](const BcspSetupRequest& r) { return r.code == request; });
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lx", request);
    if (known == kBcspSetupRequests.end()) {
        traceNote(kModuleBccmdPath, std::string("request ") + code + " refused: unknown");
        return fail(ENOTTY);
    }
    std::size_t number = static_cast<std::size_t>(known - kBcspSetupRequests.begin());
    std::string what = "setup request ";
    what += std::to_string(number + 1);
    what += " (";
    what += code;
    what += ")";
    bool argumentRight = arg == nullptr;
    if (known->value) {
        int value = 0;
        if (arg != nullptr) std::memcpy(&value, arg, sizeof value);
        argumentRight = arg != nullptr && value == *known->value;
    }
    if (number != open->setupDone || !argumentRight) {
        open->setupDone = 0;
        traceNote(kModuleBccmdPath,
                  what + " refused: " + (argumentRight ? "out of order" : "wrong argument"));
        return fail(EINVAL);
    }
    if (faultStrikes(kModuleFaultFile, ("setup" + std::to_string(number + 1)).c_str())) {
        open->setupDone = 0;
        traceNote(kModuleBccmdPath, what + " failed: fault");
        return fail(EIO);
    }
    ++open->setupDone;
    traceNote(kModuleBccmdPath,
              what + " accepted" + (setupComplete(*open) ? "; channel ready" : ""));
    return 0;
}

ssize_t moduleBccmdWrite(int handle, const void* buffer, std::size_t count) {
    ModuleLink::Handle* open = findHandle(bccmdLink, handle);
    if (open == nullptr) return -1;
    if ((open->flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
    if (!setupComplete(*open)) {
        traceNote(kModuleBccmdPath, "write refused: the channel is not set up");
        return fail(ENOTCONN);
    }
    std::span<const std::uint8_t> message = bytesOf(buffer, count);
    tracePacket(kModuleBccmdPath, PacketDirection::toModule, message,
                bccmdInCarrierCommand(message), describeBccmdMessage(message));
    ExchangeFault fault = exchangeFault();
    if (fault == ExchangeFault::silent || fault == ExchangeFault::cmdstatus) {
        traceNote(kModuleBccmdPath, "no answer: fault");
        return static_cast<ssize_t>(count);
    }
    std::optional<ModulePacket> answer = answerBccmdMessage(message, answerFault(fault));
    if (!answer) {
        traceNote(kModuleBccmdPath, "no answer: not a BCCMD message");
        return static_cast<ssize_t>(count);
    }
    std::vector<ModulePacket> answers;
    answers.push_back(std::move(*answer));
    if (fault == ExchangeFault::otherKey) putAnswerForAnotherKey(answers, 0);
    sendAnswers(bccmdLink, count, std::move(answers));
    return static_cast<ssize_t>(count);
}

ssize_t moduleBccmdRead(int handle, void* buffer, std::size_t count) {
    ModuleLink::Handle* open = findHandle(bccmdLink, handle);
    if (open == nullptr) return -1;
    if (!setupComplete(*open)) return fail(ENOTCONN);
    PendingAnswer* answer = readableAnswer(bccmdLink, *open);
    if (answer == nullptr) return fail(EAGAIN);
    if (count == 0) return 0;
    std::size_t n = std::min(count, answer->bytes.size());
    std::memcpy(buffer, answer->bytes.data(), n);
    tracePacket(kModuleBccmdPath, PacketDirection::fromModule, answer->bytes,
                bccmdInVendorEvent(answer->bytes), describeBccmdMessage(answer->bytes));
    bccmdLink.answers.pop_front();
    return static_cast<ssize_t>(n);
}

int moduleBccmdClose(int handle) { return closeHandle(bccmdLink, handle); }

short moduleBccmdPollEvents(int handle) {
    ModuleLink::Handle* open = findHandle(bccmdLink, handle);
    if (open == nullptr) return POLLNVAL;
    return setupComplete(*open) && headReady(bccmdLink) ? POLLIN : 0;
}

std::optional<std::chrono::nanoseconds> moduleBccmdUntilReady(int handle) {
    ModuleLink::Handle* open = findHandle(bccmdLink, handle);
    if (open == nullptr || !setupComplete(*open)) return std::nullopt;
    return untilReady(bccmdLink);
}

// --- "/dev/etxhwif" ---

int moduleResetOpen(int) {
    if (faultStrikes(kModuleFaultFile, "missing-etxhwif")) return fail(ENOENT);
    return 0;
}

int moduleResetIoctl(int, unsigned long request, void*) {
    if (request != kModuleResetRequest) return fail(ENOTTY);
    if (faultStrikes(kModuleFaultFile, "reset")) {
        traceNote(kModuleResetPath, "module reset failed: fault");
        return fail(EIO);
    }
    traceNote(kModuleResetPath, "module reset");
    dropAnswers(hciLink, "the reset");
    dropAnswers(bccmdLink, "the reset");
    lineFreeAt = Clock::now();
    return 0;
}

int moduleResetClose(int) { return 0; }
