// Key sets that only their root keys may change, on the makers' side: the roles of a set's keys,
// the statement that a new set travels with ("keyset") and its root keys' signatures
// ("keyset.sig"), and the verdict that a board gives on them (the format and the board's rules:
// image/key_set_statement.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "image/key_set_statement.h"
#include "tools/mkupdate/image_signing.h"
#include "tools/mkupdate/update_build.h"

namespace mkupdate {

// Whether a folder's file is a set's statement or its signatures, which build writes anew.
bool isKeySetStatementFile(std::string_view name);

// "root" or "release", as --role takes them and list shows them.
std::optional<KeyRole> keyRoleNamed(std::string_view name);
const char* keyRoleName(KeyRole role);

// One key file of a set, as the board reads it.
struct SetKey {
    std::string name;  // the file's name in the set's folder
    Bytes content;
    RsaPublicKey key;
    UpdateKeyId id;
    KeyRole role;
};
// The key of a key file's bytes; nothing when the board wouldn't read it as a key file.
std::optional<SetKey> readSetKey(std::string_view name, std::span<const std::uint8_t> content);

// The key file at path, read as the board reads one (no link followed, a regular file of at
// most kKeyFileMaxSize bytes), whatever its name; nothing when it isn't one.
std::optional<SetKey> readSetKeyFile(const std::string& path);
// Why a key may not sign an image: a root key signs key sets only.
inline constexpr const char* kRootKeySignsNoImage =
    "is a root key: it signs key sets, never images";

std::size_t rootCount(const std::vector<SetKey>& keys);

// How many of a set's roots must sign its successor when the makers don't say: a majority, so
// that no single root holder (or single lost root, from three on) decides for the fleet.
std::uint32_t defaultKeySetThreshold(std::size_t roots);

// The statement of the set of keys (any order: it lists them by name, ascending byte by byte).
std::string keySetStatementText(std::vector<const SetKey*> keys, std::uint32_t version,
                                std::uint32_t threshold);

struct RootSignature {
    UpdateKeyId keyId;
    Bytes signature;
};
// The signatures' text: one line per key, ordered by key ID (a key given twice once).
std::string keySetSignaturesText(std::vector<RootSignature> signatures);

// The root key among roots whose signature of statement signature is; nothing when none.
const SetKey* keySetSigner(const std::vector<const SetKey*>& roots, std::string_view statement,
                           std::span<const std::uint8_t> signature);

// A key set as it travels (update.d/update-keys/) or as a board holds it (/etc/update-keys/):
// its key files, and its statement and signatures when it has them.
struct KeySetFiles {
    std::vector<SetKey> keys;
    std::optional<std::string> statement;
    std::optional<std::string> signatures;
};

// Who signed a statement: a key of the new set (named), of the board's set, or of neither
// (known by its ID alone, not verified).
struct KeySetSigner {
    UpdateKeyId keyId;
    std::string name;  // the key file's, in the new set or else the board's; "" for neither
    bool newSetRoot = false;
    bool boardRoot = false;
    bool valid = false;  // verified with that root key
};

struct KeySetReading {
    bool statementRead = false;
    std::uint32_t version = 0;
    std::uint32_t threshold = 0;
    std::vector<KeySetSigner> signers;
    // What makes every board refuse the set, or leaves a board that takes it stuck.
    std::vector<std::string> faults;
    // Why a board that holds the board's keys refuses it (with a board given).
    std::vector<std::string> boardFaults;
};

// The set's statement and signatures read and held to its keys, where names the folder in
// messages ("--install-keys", "update.d/update-keys"); and with board, as a board that holds
// board's keys and statement judges it.
KeySetReading readKeySet(const KeySetFiles& set, const std::string& where,
                         const KeySetFiles* board = nullptr);

// A board's key-set version and threshold as its statement gives them: 0 and 1 without one.
std::uint32_t boardKeySetVersion(const KeySetFiles& board);
std::uint32_t boardKeySetThreshold(const KeySetFiles& board);

// The key set of a folder's files (a board's /etc/update-keys, --board-keys): its key files
// and "keyset", "keyset.sig"; files that are neither are left out, as the board leaves them.
// Nothing, with the reason in error, for a folder that can't be read.
std::optional<KeySetFiles> keySetOfFolder(const std::string& folder, std::string* error);

// The statement of set's keys with version and threshold (the default without one); nothing,
// with the faults, for a set that no board could take with it or change after it: no root
// key (a set without roots travels without a statement), no release key, a threshold above
// its roots. where names the set's folder in the faults.
std::optional<std::string> keySetStatementOf(const KeySetFiles& set, const std::string& where,
                                             std::uint32_t version,
                                             std::optional<std::uint32_t> threshold,
                                             std::vector<std::string>* faults);

// A root key that signs here: its ID and the private key's operation.
struct RootSigningKey {
    std::string path;
    UpdateKeyId id;
    Signer sign;
};

// What build is asked to state about the key set that it packs.
struct KeySetOrder {
    std::optional<std::uint32_t> version;  // without it, a set of release keys only
    std::optional<std::uint32_t> threshold;
    std::vector<RootSigningKey> rootKeys;
    std::vector<PartFile> rootSignatures;  // made elsewhere, over the statement's bytes
    const KeySetFiles* board = nullptr;    // --board-keys: the boards' set today
    std::string boardFolder;
};

// The statement and signatures of update's key set (update->installKeys) into update, each
// signature's key found among the roots of the new set and of the board's; false, with the
// faults, for a root key or signature of neither, a set with roots but no version, a
// statement that no board takes, or one that a board with the board's keys refuses ("a
// board with the keys of DIR refuses this key set: ..."). A key file that isn't one is left
// to the update's check.
bool stateKeySet(const KeySetOrder& order, UpdateDescription* update,
                 std::vector<std::string>* faults);

}  // namespace mkupdate
