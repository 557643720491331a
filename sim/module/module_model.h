// The simulated Bluetooth module and the three devices by which the daemon reaches it:
//   "/dev/cfUaB0"    the module's serial line as an HCI controller
//   "/dev/bcspRel2"  the BCSP driver's BCCMD channel
//   "/dev/etxhwif"   the board's hardware interface, with the module-reset request
//
// State, in files under /sim/state:
//   module.psr       the PS-Keys the module holds: "&kkkk = wwww wwww" + CR LF, lower-case
//                    hex, ascending key order (the daemon's dump format). Read at every BCCMD
//                    request and rewritten by every stored SET, so a test or a person at the
//                    board's shell can set it before an update and read it after. When missing
//                    it is seeded from sim/module/default-store.psr (a board in the field:
//                    37 keys from 0x0001 to 0x03cd). A key holds at most 40 words.
//   module.baud      the serial line's speed in baud, decimal; 115200 when missing or not a
//                    number. Every answer becomes readable only after the request and the
//                    answer have passed the line (8N1: 10 bits per byte; one packet at a time,
//                    counted as the bytes that pass the device); 0 makes answers ready at once.
//   module.mode      "bcsp": the module starts in BCSP mode and never answers on /dev/cfUaB0;
//                    anything else or missing: HCI mode.
//   module.refuses   optional: keys a SET of which is answered with status 0x0008 (error),
//                    nothing stored (sim/module/pskey_store.h).
//   module.unheld    optional: the BCCMD status a GET of a key the module doesn't hold is
//                    answered with, hex ("0008"); 0x0003 (no value) when missing.
//   module.firmware  the module's firmware version, one line of text ("1958 16.4.0" when
//                    missing); the DFU stand-in writes the version it loads.
//   module.fault     optional, a fault (below).
//   insmod.log       written by the board's /bin/insmod: the BCSP driver counts as loaded once
//                    its three modules "linabcsp_uart.o", "bcsp.o" and "linabcsp_upChan.o"
//                    all appear in it (as the last part of a line's path, in any order).
//   module.btsnoop   trace of every packet in both directions (btsnoop version 1, datalink
//                    1002, H4), appended across opens and processes. Packets of
//                    /dev/bcspRel2 appear framed as on the HCI device (01 00 FC 61 C2 +
//                    message to the module, 04 FF 61 C2 + message from it), so that decoders
//                    show them as BCCMD. Commands are recorded when written, answers when read.
//                    Read it with "hcidump -m 10 -r module.btsnoop" (10 makes hcidump decode
//                    the vendor packets as BCCMD) or with Wireshark.
//   module.log       one line per packet: "hh:mm:ss.uuuuuu DEVICE host>module|module>host
//                    BYTES | DECODING" (e.g. "BCCMD GET key 0x01a5", "GETRESP key 0x01a5
//                    status 0 len 1"), and lines for opens, setup requests, resets and dropped
//                    answers.
//
// "/dev/cfUaB0" (HCI): one HCI command per write (01, opcode, length, parameters; any other
// write fails with EINVAL); one event per read, at most 258 bytes, a shorter read gets the
// event's first bytes and the rest is dropped; a readable event is reported as POLLIN|POLLPRI;
// a read with nothing readable fails with EAGAIN (a blocking open waits for an answer on its
// way, never for one that isn't). Answers:
//   HCI Reset 01 03 0C 00             -> Command Complete 04 0E 04 01 03 0C 00
//   BCCMD carrier 01 00 FC 61 C2 + 96-byte message
//                                     -> vendor-specific event 04 FF 61 C2 + answer message
//   any other command                 -> Command Complete with status 0x01 (unknown command);
//                                        a carrier without the descriptor C2 and a whole BCCMD
//                                        header gets status 0x12 (invalid parameters)
// Once the BCSP driver is loaded (it owns the serial line), or in BCSP mode, the module
// answers nothing here; writes are still taken and traced.
//
// BCCMD answers (both devices): the request's layout with type GETRESP (0x0001), the request's
// length word, sequence number, varid and stores echoed. GET of a held key: status 0, the key's
// real word count and its words (the rest zero). GET of a key the module doesn't hold: status
// 0x0003 (no value), or the one module.unheld names (sim/module/pskey_store.h), the request's
// length and words echoed. SET: the key is stored (value the
// request's words, length its count), status 0, the request echoed; more than 40 words or more
// than the message carries: status 0x0002 (too big), nothing stored. Another varid than 0x7003:
// status 0x0001; another type than GET or SET: status 0x0004.
//
// "/dev/bcspRel2" (BCCMD channel): exists (opens) only once the BCSP driver is loaded, else
// ENOENT. Each open must first be configured with these requests, in this order, each exactly:
//   1  _IOW('H', 1, int)  argument a pointer to the int 3
//   2  _IOW('H', 4, int)  argument a pointer to the int 0x1018
//   3  _IO('H', 8)        argument 0
//   4  _IO('H', 5)        argument 0
// An unknown request fails with ENOTTY; a request out of order, repeated or with another
// argument fails with EINVAL and the open must start again with request 1. Reads and writes
// before the fourth request fail with ENOTCONN. Then one bare BCCMD message per write and one
// answer message per read (readiness POLLIN alone); a write too short for a BCCMD header (e.g.
// the 4 bytes of an HCI Reset) is taken and traced but gets no answer.
//
// "/dev/etxhwif": the module-reset request _IO('E', 2) (its argument is not used) resets the
// module: answers not yet read are dropped on both module devices. Other requests: ENOTTY.
// Closing the last open of a module device drops its answers not yet read.
//
// Faults (module.fault): one word, optionally followed by a count N: the next N operations of
// that kind go well, the file counting down, then the fault strikes (sim/state_files.h). An
// exchange is one command or message written to the module.
//   silent            no answer to an exchange, on either device
//   status            every answer carries a non-zero status: BCCMD 0x0008 (error, nothing
//                     stored), Command Complete 0x03 (hardware failure)
//   refuse-reset      the HCI Reset's Command Complete carries status 0x03; every other
//                     answer is right
//   otherkey          a BCCMD answer for the next key id (no request asked for it) comes
//                     ahead of each BCCMD answer, on either device
//   cmdstatus         on /dev/cfUaB0 the Command Status event 04 0F 04 0C 01 <opcode> comes
//                     instead of the answer; on /dev/bcspRel2 (no HCI events) no answer
//   unknown           on /dev/cfUaB0 an event the daemon doesn't know, Hardware Error
//                     04 10 01 00, comes before each answer; no effect on /dev/bcspRel2
//   short             a BCCMD answer claims 4 more words than it carries: its PS-Key length is
//                     4 above the words that follow, and the message ends after them
//   long              a BCCMD answer claims and carries 48 words (the key's words, then zero
//                     words): a 112-byte message, an event of 113 parameter bytes
//   setup1 .. setup4  that BCSP setup request fails with EIO (an operation: one such request)
//   reset             the module-reset request fails with EIO, nothing is dropped
//   missing-cfUaB0, missing-bcspRel2, missing-etxhwif
//                     opening that device fails with ENOENT (an operation: one open)
#pragma once

#include <sys/ioctl.h>
#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

inline constexpr const char* kModuleHciPath = "/dev/cfUaB0";
inline constexpr const char* kModuleBccmdPath = "/dev/bcspRel2";
inline constexpr const char* kModuleResetPath = "/dev/etxhwif";

inline constexpr const char* kModuleBaudFile = "module.baud";
inline constexpr const char* kModuleModeFile = "module.mode";
inline constexpr const char* kModuleFirmwareFile = "module.firmware";
inline constexpr const char* kModuleFaultFile = "module.fault";
inline constexpr const char* kInsmodLogFile = "insmod.log";

inline constexpr unsigned long kModuleDefaultBaud = 115200;
inline constexpr const char* kModuleDefaultFirmware = "1958 16.4.0";
inline constexpr std::array<const char*, 3> kBcspDriverModules{"linabcsp_uart.o", "bcsp.o",
                                                               "linabcsp_upChan.o"};

// The BCCMD channel's setup requests, in the order they must come, with the int their
// argument points to (or nothing: the argument is 0). The host's own encoding of the codes.
struct BcspSetupRequest {
    unsigned long code;
    std::optional<int> value;
};
inline constexpr std::array<BcspSetupRequest, 4> kBcspSetupRequests{{
    {_IOW('H', 1, int), 3},
    {_IOW('H', 4, int), 0x1018},
    {_IO('H', 8), std::nullopt},
    {_IO('H', 5), std::nullopt},
}};
inline constexpr unsigned long kModuleResetRequest = _IO('E', 2);

// "/dev/cfUaB0"
int moduleHciOpen(int flags);
ssize_t moduleHciRead(int handle, void* buffer, std::size_t count);
ssize_t moduleHciWrite(int handle, const void* buffer, std::size_t count);
int moduleHciClose(int handle);
short moduleHciPollEvents(int handle);
std::optional<std::chrono::nanoseconds> moduleHciUntilReady(int handle);

// "/dev/bcspRel2"
int moduleBccmdOpen(int flags);
int moduleBccmdIoctl(int handle, unsigned long request, void* arg);
ssize_t moduleBccmdRead(int handle, void* buffer, std::size_t count);
ssize_t moduleBccmdWrite(int handle, const void* buffer, std::size_t count);
int moduleBccmdClose(int handle);
short moduleBccmdPollEvents(int handle);
std::optional<std::chrono::nanoseconds> moduleBccmdUntilReady(int handle);

// "/dev/etxhwif"
int moduleResetOpen(int flags);
int moduleResetIoctl(int handle, unsigned long request, void* arg);
int moduleResetClose(int handle);

// The time that bytes take on the serial line at the speed of module.baud.
std::chrono::nanoseconds moduleWireTime(std::size_t bytes);
// True once insmod.log names all three BCSP driver modules.
bool bcspDriverLoaded();
// The first line of module.firmware, or the default version.
std::string moduleFirmwareVersion();
