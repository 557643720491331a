// The makers' signature on an update image, and the board's keys that check it.
//
// A signed image carries a signature block at the start of file 0, which the reception never
// reads otherwise, so a daemon without keys (or an older one) takes a signed image as it took
// an unsigned one. The block, all words big-endian:
//   offset  0   8 bytes  "UPD-SIG\n"
//   offset  8   4 bytes  format version, 1
//   offset 12   4 bytes  the signature's length L in bytes (the key's modulus length)
//   offset 16  16 bytes  the key's ID: the first 16 bytes of the SHA-256 of its modulus
//                        (big-endian, no leading zero byte)
//   offset 32   L bytes  the signature
// and after it whatever file 0 held before it was signed (the note). The signature is RSA
// PKCS#1 v1.5 with SHA-256 over a statement of the files that follow file 0: their count (a
// word), then for each of them, in order, its size (a word) and the SHA-256 of its bytes. So no
// byte of the archive or of the software image, nor their order or boundaries, can change
// under a valid signature, and each byte is hashed once.
//
// The board's public keys are files named *.key in /etc/update-keys, one key per file, text:
//   lines that begin with "#" are comments;
//   one line "rsa-sha256 65537 " followed by the modulus in hex digits (big-endian).
// With no key file there, images are taken unsigned: such a board has nothing to check a
// signature against, and an update must still reach it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "image/rsa_verify.h"
#include "image/sha256.h"

inline constexpr const char* kUpdateKeyFolder = "/etc/update-keys";
inline constexpr std::string_view kUpdateKeySuffix = ".key";
inline constexpr std::string_view kUpdateKeyLinePrefix = "rsa-sha256 65537 ";

inline constexpr std::array<std::uint8_t, 8> kSignatureMagic = {'U', 'P', 'D', '-',
                                                                'S', 'I', 'G', '\n'};
inline constexpr std::uint32_t kSignatureFormat = 1;
inline constexpr std::size_t kSignatureBlockHeaderSize = 32;
inline constexpr std::size_t kUpdateKeyIdSize = 16;
using UpdateKeyId = std::array<std::uint8_t, kUpdateKeyIdSize>;
// A key's ID in hex, as messages and key file names show it, with its terminating zero.
using UpdateKeyIdText = std::array<char, 2 * kUpdateKeyIdSize + 1>;

struct SignatureBlock {
    UpdateKeyId keyId;
    std::span<const std::uint8_t> signature;
    std::span<const std::uint8_t> note;  // what follows the block in file 0
};

enum class SignatureBlockParse {
    Absent,   // file 0 doesn't begin with the magic text: an unsigned image
    Damaged,  // the magic text, but another format, or a length beyond file 0
    Found,
};
SignatureBlockParse parseSignatureBlock(std::span<const std::uint8_t> file0, SignatureBlock* block);

// The digests that one read of a multi-file image gives: the statement's, which its signature
// covers, and those of file 1 (the update archive) and of the last file (the software image),
// so that what is unpacked and what is flashed can be held to the bytes that were verified.
struct ImageDigests {
    Sha256Digest signedDigest;
    Sha256Digest archive;
    Sha256Digest software;
};
// False when the image holds no file after file 0, or one of them doesn't lie inside it. Reads
// every byte of those files: callers guard the read when the image is a mapped file.
bool digestImageFiles(std::span<const std::uint8_t> image, std::int32_t fileCount,
                      ImageDigests* digests);

UpdateKeyId updateKeyIdOf(std::span<const std::uint8_t> modulus);
UpdateKeyIdText updateKeyIdText(const UpdateKeyId& id);

// One key file read: the key, its ID. False when the file can't be read or isn't a key file
// of the format above (a modulus that makeRsaPublicKey refuses included).
bool readUpdateKeyFile(const char* path, RsaPublicKey* key, UpdateKeyId* id);

enum class SignatureVerdict {
    NoKeyInstalled,  // the folder holds no key file: the image isn't checked
    Valid,
    NoSignature,
    DamagedBlock,  // the magic text, but another format or a length beyond file 0
    UnknownKey,    // signed, by a key that isn't installed (or whose file can't be read)
    BadSignature,
};
// Checks file 0's signature over signedDigest against the key files of folder. keyId gets
// the ID that the block names, when there is one. A key file that can't be read counts as a
// key installed, so that a damaged key folder refuses images rather than taking them unsigned;
// unreadable (when given) hears of each one met.
SignatureVerdict verifyImageSignature(std::span<const std::uint8_t> file0,
                                      const Sha256Digest& signedDigest, const char* folder,
                                      UpdateKeyId* keyId,
                                      void (*unreadable)(const char* path) = nullptr);

// How a refusal reads in the report: the reason, which the key's ID follows when namesKey
// ("signed by unknown key 0123..."). Nothing (a null reason) for the verdicts that take the
// image.
struct SignatureRefusal {
    const char* reason;
    bool namesKey;
};
SignatureRefusal signatureRefusal(SignatureVerdict verdict);

// Whether folder holds a key file.
bool updateKeysInstalled(const char* folder);
