// The makers' signature on an update image, and the board's keys that check it.
//
// A signed image carries a signature block at the start of file 0, which the reception never
// reads otherwise, so a daemon without keys (or an older one) takes a signed image as it took
// an unsigned one. The block, all words big-endian:
//   offset  0   8 bytes  "UPD-SIG\n"
//   offset  8   4 bytes  format version, 1 or 2
//   offset 12   4 bytes  the signature's length L in bytes (the key's modulus length)
//   offset 16  16 bytes  the key's ID: the first 16 bytes of the SHA-256 of its modulus
//                        (big-endian, no leading zero byte)
//   format 1:
//   offset 32   L bytes  the signature
//   format 2:
//   offset 32   4 bytes  the security version
//   offset 36   L bytes  the signature
// and after it whatever file 0 held before it was signed (the note). The signature is RSA
// PKCS#1 v1.5 with SHA-256 over a statement. The files' statement lists the files that follow
// file 0: their count (a word), then for each of them, in order, its size (a word) and the
// SHA-256 of its bytes. Format 1 signs the files' statement itself; format 2 signs the word 2,
// the security version (a word) and the SHA-256 of the files' statement (40 bytes, which no
// files' statement is: one of 40 bytes begins with the count 1). So no byte of the archive or
// of the software image, nor their order or boundaries, nor the security version, can change
// under a valid signature, and each byte is hashed once.
//
// The security version is the makers' number for "no older image may come back": a board
// keeps the highest one of an image that a key of its own verified and whose update ended OK
// (in /etc/update-security-version, beside the keys) and refuses images of a lower one. A
// format 1 block counts as security version 0.
//
// The board's public keys are files named *.key in /etc/update-keys, one key per file, text:
//   lines that begin with "#" are comments;
//   one line "rsa-sha256 65537 " followed by the modulus in hex digits (big-endian);
//   at most one line naming the key's role (image/key_set_statement.h): only release keys
//   sign images.
// On the board /etc/update-keys is a symbolic link to a versioned folder beside it,
// "update-keys.N", so that a new set takes the old one's place by one rename of a link (a
// board not yet moved to that form holds a plain folder). With no key folder, or an empty one,
// a board that never held keys takes images unsigned: it has nothing to check a signature
// against, and an update must still reach it. A board that once held keys records it in
// /etc/update-keys.enrolled, and from then on refuses every image without keys. A key folder
// that can't be listed, a link to anything but a key set beside it, or a folder that holds
// only files that aren't key files refuses every image: a board must not take unsigned images
// because its keys were misplaced.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "image/rsa_verify.h"
#include "image/sha256.h"

inline constexpr char kUpdateKeyFolder[] = "/etc/update-keys";
// Stands (whatever it holds) once the board has held keys.
inline constexpr char kUpdateKeysEnrolledPath[] = "/etc/update-keys.enrolled";
inline constexpr std::string_view kUpdateKeySuffix = ".key";
inline constexpr std::string_view kUpdateKeyLinePrefix = "rsa-sha256 65537 ";

inline constexpr std::array<std::uint8_t, 8> kSignatureMagic = {'U', 'P', 'D', '-',
                                                                'S', 'I', 'G', '\n'};
// How the report begins its line on an image that a key of the board verified: "image signed
// by key ID, security version N". Not a failure: readers of the report leave it out of a
// failure's cause.
inline constexpr std::string_view kSignedByReportText = "image signed by key ";
inline constexpr char kSecurityVersionPath[] = "/etc/update-security-version";
inline constexpr std::uint32_t kSignatureFormatFiles = 1;     // signs the files' statement
inline constexpr std::uint32_t kSignatureFormatSecurity = 2;  // and a security version
inline constexpr std::size_t kSignatureBlockHeaderSize = 32;  // format 1's
inline constexpr std::size_t kSecurityBlockHeaderSize = 36;   // format 2's
// The statement that a format 2 signature covers.
inline constexpr std::size_t kSecurityStatementSize = 8 + 32;
inline constexpr std::size_t kUpdateKeyIdSize = 16;
using UpdateKeyId = std::array<std::uint8_t, kUpdateKeyIdSize>;
// A key's ID in hex, as messages and key file names show it, with its terminating zero.
using UpdateKeyIdText = std::array<char, 2 * kUpdateKeyIdSize + 1>;

struct SignatureBlock {
    std::uint32_t format;
    std::uint32_t securityVersion;  // 0 in format 1
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

// The digests that one read of a multi-file image gives: the files' statement's, which a
// signature covers (format 1) or binds (format 2), and those of file 1 (the update archive)
// and of the last file (the software image), so that what is unpacked and what is flashed can
// be held to the bytes that were verified.
struct ImageDigests {
    Sha256Digest signedDigest;
    Sha256Digest archive;
    Sha256Digest software;
};
// False when the image holds no file after file 0, or one of them doesn't lie inside it. Reads
// every byte of those files: callers guard the read when the image is a mapped file.
bool digestImageFiles(std::span<const std::uint8_t> image, std::int32_t fileCount,
                      ImageDigests* digests);

// The format 2 statement: the word 2, the security version, the files' statement's digest.
std::array<std::uint8_t, kSecurityStatementSize> securityStatement(std::uint32_t securityVersion,
                                                                   const Sha256Digest& filesDigest);
// The digest that block's signature covers, given the files' statement's digest.
Sha256Digest signedStatementDigest(const SignatureBlock& block, const Sha256Digest& filesDigest);

UpdateKeyId updateKeyIdOf(std::span<const std::uint8_t> modulus);
UpdateKeyIdText updateKeyIdText(const UpdateKeyId& id);

// A key file holds a comment or two and a 4096-bit modulus in hex: 1024 digits.
inline constexpr std::size_t kKeyFileMaxSize = 4096;
// Reads the key file name of the folder open as folderFd (AT_FDCWD: name is a path) into
// text (kKeyFileMaxSize bytes): without following a link and without blocking, and only a
// regular file of at most kKeyFileMaxSize bytes, so that a FIFO, a device or a link among the
// keys can't hold up or mislead the reader. Its length, or -1.
long readKeyFileText(int folderFd, const char* name, char* text);
// A key's role: release keys sign images, root keys sign key-set statements
// (image/key_set_statement.h), which travel beside the key files under these names.
enum class KeyRole : std::uint8_t { Release, Root };
inline constexpr std::string_view kKeyRoleRootLine = "role root";
inline constexpr std::string_view kKeyRoleReleaseLine = "role release";
inline constexpr char kKeySetStatementName[] = "keyset";
inline constexpr char kKeySetSignaturesName[] = "keyset.sig";
// Reads the file name of the folder open as folderFd (AT_FDCWD: name is a path) as
// readKeyFileText does, up to max bytes. Its length, or -1.
long readSmallFile(int folderFd, const char* name, char* text, std::size_t max);
// The key of a key file's text, its ID and (when asked) its role. False when it isn't a key
// file of the format above (a modulus that makeRsaPublicKey refuses included).
bool parseUpdateKey(std::string_view text, RsaPublicKey* key, UpdateKeyId* id,
                    KeyRole* role = nullptr);
// One key file read: the key, its ID, its role. False when the file can't be read or isn't a
// key file.
bool readUpdateKeyFile(const char* path, RsaPublicKey* key, UpdateKeyId* id,
                       KeyRole* role = nullptr);

// Whether name is that of a key file: *.key, not hidden.
bool isKeyFileName(std::string_view name);

enum class KeyFolderState {
    Absent,      // no key folder: images are taken unsigned
    Empty,       // a folder with nothing in it: the same
    Keys,        // key files (readable or not) are there
    Unlistable,  // it can't be listed (not a folder, a dangling link, no access...)
    NoKeyFile,   // it holds only files that aren't key files
};
struct KeyFolder {
    KeyFolderState state;
    int error;               // Unlistable: why
    bool strayLink = false;  // Unlistable: a link to anything but a key set beside the folder
};
// What the board's records add to the reading of its key folder.
struct KeyFolderRules {
    // A link at the folder's name is followed only to a real folder beside it named as the
    // folder followed by "." and a number (update-keys.3): the form the board's key step makes.
    bool versionedLink = false;
    // The board has held keys: a missing or empty key folder refuses every image.
    bool enrolled = false;
};
// The N of a versioned key set's name: base (the key folder's own name, "update-keys")
// followed by "." and decimal digits without a leading zero (but "0" itself), at most 9, so
// that it fits; -1 for any other name.
std::int32_t keySetNumber(std::string_view name, std::string_view base);
// The N of the set that the link at link names, when it names one beside it by its name alone
// ("update-keys.3"); -1 for a link to anything else, or no link.
std::int32_t linkedKeySet(const char* link);
// Hears of each file of the key folder that isn't a key file (by name), so that a key given
// the wrong name is noticed; the set's statement and its signatures are none of these.
struct OtherFileListener {
    void (*heard)(void* context, const char* path);
    void* context;
};
KeyFolder inspectKeyFolder(const char* folder, const OtherFileListener* others = nullptr,
                           KeyFolderRules rules = {});
// Whether a board with this key folder checks signatures (or refuses every image).
constexpr bool keysRequired(KeyFolderState state) {
    return state != KeyFolderState::Absent && state != KeyFolderState::Empty;
}

// The highest security version of an update that ended OK on the board: 0 when the file
// doesn't exist; nothing when it exists but isn't a regular file of the reader's own user
// (a link, a folder, a FIFO, another user's file) or doesn't hold a number (every signed
// image is refused then, rather than taking an older one).
std::optional<std::uint32_t> readBoardSecurityVersion(const char* path);

enum class SignatureVerdict {
    NoKeyInstalled,  // no key folder, or an empty one: the image isn't checked
    Valid,
    NoSignature,
    DamagedBlock,  // the magic text, but another format or a length beyond file 0
    UnknownKey,    // signed, by a key that isn't installed (or whose file can't be read)
    BadSignature,
    KeyFolderUnlistable,
    NoKeyFile,               // the folder holds only files that aren't key files
    OlderSecurityVersion,    // a valid signature, but a security version below the board's
    SecurityVersionUnknown,  // the board's security version can't be read
    KeysLost,                // the board has held keys, but its key folder is missing or empty
    RootKeySigned,           // a valid signature, by a root key: root keys sign key sets only
};
struct SignatureCheck {
    SignatureVerdict verdict;
    KeyFolder folder;
    // From the block, when there is one.
    UpdateKeyId keyId;
    std::uint32_t format;
    std::uint32_t securityVersion;
    std::uint32_t boardSecurityVersion;
};
// Checks file 0's signature, given the files' statement's digest, against the key files of
// folder and the board's security version (nothing: unreadable). A key file that can't be
// read counts as a key installed, so that a damaged key folder refuses images rather than
// taking them unsigned; unreadable (when given) hears of each one met, others of each file
// that isn't a key file.
SignatureCheck checkImageSignature(std::span<const std::uint8_t> file0,
                                   const Sha256Digest& filesDigest, const char* folder,
                                   std::optional<std::uint32_t> boardSecurityVersion,
                                   void (*unreadable)(const char* path) = nullptr,
                                   const OtherFileListener* others = nullptr,
                                   KeyFolderRules rules = {});

// How a refusal reads in the report ("signed by unknown key 0123...", "security version 1 is
// older than the board's 2"), written into text. False, with nothing written, for the verdicts
// that take the image.
bool describeSignatureRefusal(const SignatureCheck& check, const char* folder, char* text,
                              std::size_t size);
