// The simulated module's traces in /sim/state, kept across opens and processes:
//   module.btsnoop  every packet in both directions as a btsnoop file (H4 framing), for
//                   hcidump -r or Wireshark
//   module.log      one text line per packet and per event of note (resets, dropped answers)
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

inline constexpr const char* kModuleTraceFile = "module.btsnoop";
inline constexpr const char* kModuleLogFile = "module.log";

// btsnoop: "btsnoop\0", version 1, datalink 1002 (H4: the packet type byte first); records
// big-endian: original length, included length, flags, cumulative drops, time stamp in
// microseconds since the year 0.
inline constexpr std::uint32_t kBtsnoopVersion = 1;
inline constexpr std::uint32_t kBtsnoopH4Datalink = 1002;
inline constexpr std::uint32_t kBtsnoopReceivedByHost = 0x01;
inline constexpr std::uint32_t kBtsnoopCommandOrEvent = 0x02;
inline constexpr std::uint64_t kBtsnoopUnixEpoch = 0x00dcddb30f2f8000ULL;

enum class PacketDirection { toModule, fromModule };

std::vector<std::uint8_t> btsnoopHeader();
std::vector<std::uint8_t> btsnoopRecord(PacketDirection direction,
                                        std::span<const std::uint8_t> h4Packet,
                                        std::uint64_t unixMicroseconds);

// Records one packet: h4Packet (as an HCI transport carries it) in module.btsnoop, and a line
// "time device host>module|module>host hex-bytes | decoding" in module.log with the bytes as
// they passed the device.
void tracePacket(const char* device, PacketDirection direction,
                 std::span<const std::uint8_t> deviceBytes, std::span<const std::uint8_t> h4Packet,
                 const std::string& decoding);

// A line "time device note" in module.log.
void traceNote(const char* device, const std::string& note);
