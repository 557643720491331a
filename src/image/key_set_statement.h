// Roles of the board's keys, and the statement that lets a key set change.
//
// A key file may carry one line "role root" (or "role release", the default: a file without
// the line is a release key, as every key file was before roles). Release keys sign images.
// Root keys sign no image; they sign key-set statements, and while the board's set holds root
// keys no other key can change the set: a release key that leaks from a build server then
// can't lock the makers out of their boards.
//
// A new key set travels as the folder update-keys/ of the update archive: its key files, and
// beside them the statement "keyset" and its signatures "keyset.sig".
//
// The statement ("keyset"), text, every line ended by a line feed, nothing else in it (no
// comment, no blank line), at most kKeySetStatementMaxSize bytes:
//   update-keyset 1
//   version N            the key-set version, 1 to 4294967295 in decimal, no leading zero
//   threshold K          how many of this set's root keys must sign its successor, 1 to 16
//   key NAME DIGEST      one line per key file of the set, NAME as in the folder (*.key),
//                        DIGEST the SHA-256 of the file's bytes in 64 lower-case hex digits;
//                        1 to kMaxKeySetKeys lines, names ascending byte by byte
//
// The signatures ("keyset.sig"), text: one line per signature, "KEYID SIGNATURE" and a line
// feed, KEYID the signing key's ID in 32 lower-case hex digits, SIGNATURE its RSA PKCS#1 v1.5
// signature with SHA-256 over the statement file's bytes, in lower-case hex (the key's modulus
// length); at most kMaxKeySetSignatures lines, each key ID once.
//
// A board whose set holds root keys installs a new set only when the statement names exactly
// the set's key files with their digests, its version is higher than the board's key-set
// version, at least K of the board's root keys signed it (K from the board's own statement:
// 1 for a set installed without one), the new set holds root keys, and at least its own
// threshold of them signed it. A set that holds root keys is installed, on any board, only
// with a statement that its own roots signed, so that its threshold and version are known
// from then on. The board keeps the statement of its set inside the set's folder, and its
// key-set version in kKeySetVersionPath (written when the update ends OK); its key-set
// version is the higher of that record and its set's statement's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "image/image_signature.h"
#include "image/sha256.h"

inline constexpr char kKeySetVersionPath[] = "/etc/update-keyset-version";

inline constexpr std::string_view kKeySetStatementFirstLine = "update-keyset 1\n";
inline constexpr std::string_view kKeySetVersionWord = "version ";
inline constexpr std::string_view kKeySetThresholdWord = "threshold ";
inline constexpr std::string_view kKeySetKeyWord = "key ";

inline constexpr std::size_t kKeySetStatementMaxSize = 4096;
inline constexpr std::size_t kMaxKeySetKeys = 16;
// The board's root keys and the new set's, each signing once.
inline constexpr std::size_t kMaxKeySetSignatures = 32;
inline constexpr std::size_t kKeySetSignaturesMaxSize =
    kMaxKeySetSignatures * (2 * kUpdateKeyIdSize + 1 + 2 * (kRsaMaxBits / 8) + 1);

struct KeySetStatement {
    std::uint32_t version = 0;
    std::uint32_t threshold = 0;
    struct Key {
        std::string_view name;  // points into the statement's text
        Sha256Digest digest;
    };
    std::array<Key, kMaxKeySetKeys> keys{};
    std::size_t keyCount = 0;
};
// False for any text that isn't a statement of the format above (statement is then left
// partly written).
bool parseKeySetStatement(std::string_view text, KeySetStatement* statement);

struct KeySetSignature {
    UpdateKeyId keyId;
    std::span<const std::uint8_t> signature;  // points into the caller's buffer
};
// Decodes the signatures' text; its hex signatures are decoded into bytes (at least
// text.size() / 2 of them), which the results point into. The count, or -1 for any text that
// isn't signatures of the format above.
int parseKeySetSignatures(std::string_view text, std::span<std::uint8_t> bytes,
                          std::span<KeySetSignature, kMaxKeySetSignatures> signatures);
