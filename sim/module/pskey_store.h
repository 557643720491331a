// The simulated module's PS-Key store: the keys it holds, kept in /sim/state/module.psr in the
// line format of the daemon's dumps, so that a test or a person at the board's shell can set
// the keys before an update and read them after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kModuleStoreFile = "module.psr";
// Keys that the module's firmware refuses to set ("&kkkk", apart by blanks or lines): a board
// whose firmware predates a key that an update brings. Missing: it refuses none.
inline constexpr const char* kModuleRefusesFile = "module.refuses";
// The BCCMD status with which the module answers a GET of a key it doesn't hold, four hex
// digits ("0008"; a leading "0x" is allowed): firmwares differ in the word they have for it.
// Missing or not a number: 0x0003 (no value).
inline constexpr const char* kModuleUnheldFile = "module.unheld";
// The most value words that a key can hold: the value field of one BCCMD message.
inline constexpr std::size_t kPsKeyMaxWords = 40;

// Key id -> value words.
using PsKeyStore = std::map<std::uint16_t, std::vector<std::uint16_t>>;

// Reads key lines "&kkkk = wwww wwww" (hex in either case, any line end); comment lines, blank
// lines and anything else that isn't a key line are passed over, a trailing "//" comment ends
// the words, and words beyond the 40th are dropped. A later line of the same key wins.
PsKeyStore parsePsKeys(std::string_view text);

// One line per key, "&kkkk = wwww wwww" with CR LF, lower-case hex, ascending key order.
std::string formatPsKeys(const PsKeyStore& store);

// The text of the default store, sim/module/default-store.psr of the project; nothing when
// the project's sources can't be read.
std::optional<std::string> defaultStoreText();

// The store as module.psr holds it now; a missing module.psr is first seeded from the
// default store.
PsKeyStore loadModuleStore();
bool saveModuleStore(const PsKeyStore& store);

// True when module.refuses names the key.
bool moduleRefusesKey(std::uint16_t key);
// The status of module.unheld, or fallback.
std::uint16_t moduleUnheldStatus(std::uint16_t fallback);
