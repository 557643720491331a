#include "update/key_set_change.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>

#include "core/dir_stream.h"
#include "core/error_codes.h"
#include "core/log.h"
#include "image/key_set_statement.h"

namespace {

constexpr const char* kLogName = "updateKeys";

// The refusal's one line; false. One call of the log for all of them: the board's text
// budget is tight.
[[gnu::format(printf, 1, 2)]] bool refuse(const char* format, ...) {
    char reason[128];
    std::va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(reason, sizeof reason, format, arguments);
    va_end(arguments);
    UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed, "key set refused: %s\n",
                  reason);
    return false;
}

// What a set's folder holds of what the rules count.
struct SetScan {
    bool named = true;  // every key file named in the statement given, with its digest
    int keys = 0;
    int roots = 0;        // root key files
    int signedRoots = 0;  // signatures over the statement that one of them verified
};

struct Signatures {
    std::span<const KeySetSignature> list;
    Sha256Digest digest;  // the statement's
};

bool namedIn(const KeySetStatement* statement, std::string_view name, const Sha256Digest& digest) {
    if (statement == nullptr) return true;
    for (std::size_t i = 0; i < statement->keyCount; ++i)
        if (statement->keys[i].name == name) return statement->keys[i].digest == digest;
    return false;
}

// Reads every key file of folder (a missing folder holds none; a file that isn't a key counts
// as a key, of no role).
SetScan scanSet(const char* folder, const Signatures& signatures,
                const KeySetStatement* statement = nullptr) {
    SetScan scan;
    DirStream dir(opendir(folder));
    if (!dir) return scan;
    // Each signature counts once: a key listed twice under two names signs once.
    bool counted[kMaxKeySetSignatures] = {};
    char text[kKeyFileMaxSize];
    while (const dirent* entry = readdir(dir.get())) {
        if (!isKeyFileName(entry->d_name)) continue;
        ++scan.keys;
        long length = readKeyFileText(dirfd(dir.get()), entry->d_name, text);
        RsaPublicKey key{};
        UpdateKeyId id{};
        KeyRole role{};
        std::string_view bytes(text, static_cast<std::size_t>(std::max(length, 0L)));
        if (length < 0 || !parseUpdateKey(bytes, &key, &id, &role)) continue;
        scan.named = scan.named &&
                     namedIn(statement, entry->d_name,
                             sha256({reinterpret_cast<const std::uint8_t*>(text), bytes.size()}));
        if (role != KeyRole::Root) continue;
        ++scan.roots;
        for (std::size_t i = 0; i < signatures.list.size(); ++i) {
            if (counted[i] || signatures.list[i].keyId != id) continue;
            counted[i] = verifyRsaSha256Pkcs1(key, signatures.list[i].signature, signatures.digest);
            scan.signedRoots += counted[i];
        }
    }
    return scan;
}

// A file of folder: its length (0 when it is missing, with present false), or -1.
long readSetFile(const char* folder, const char* name, char* text, std::size_t max, bool* present) {
    char path[128];
    std::snprintf(path, sizeof path, "%s/%s", folder, name);
    errno = 0;
    long length = readSmallFile(AT_FDCWD, path, text, max);
    *present = length >= 0 || errno != ENOENT;
    return length < 0 && !*present ? 0 : length;
}

// The statement of folder, its text in text (kKeySetStatementMaxSize bytes): its length, or
// -1 when it can't be read or isn't a statement, or there is none (present false).
long readStatement(const char* folder, char* text, KeySetStatement* statement, bool* present) {
    long length = readSetFile(folder, kKeySetStatementName, text, kKeySetStatementMaxSize, present);
    if (length < 0 || !parseKeySetStatement({text, static_cast<std::size_t>(length)}, statement))
        return -1;
    return length;
}

}  // namespace

bool keySetChangeAllowed(const char* board, const char* staged, std::uint32_t* version) {
    *version = 0;
    static char statementText[kKeySetStatementMaxSize];
    static char signaturesText[kKeySetSignaturesMaxSize];
    static std::uint8_t signatureBytes[kKeySetSignaturesMaxSize / 2];
    bool hasStatement = false;
    bool hasSignatures = false;
    KeySetStatement statement;
    long statementLength = readStatement(staged, statementText, &statement, &hasStatement);
    long signaturesLength = readSetFile(staged, kKeySetSignaturesName, signaturesText,
                                        sizeof signaturesText, &hasSignatures);
    bool statementRead = statementLength >= 0;
    std::array<KeySetSignature, kMaxKeySetSignatures> list{};
    int count =
        signaturesLength < 0
            ? -1
            : parseKeySetSignatures({signaturesText, static_cast<std::size_t>(signaturesLength)},
                                    signatureBytes, list);
    Signatures signatures{{list.data(), static_cast<std::size_t>(std::max(count, 0))},
                          sha256({reinterpret_cast<const std::uint8_t*>(statementText),
                                  static_cast<std::size_t>(std::max(statementLength, 0L))})};
    SetScan ours = scanSet(staged, signatures, statementRead ? &statement : nullptr);
    SetScan boards = scanSet(board, signatures);
    // The board's statement stands while its set holds root keys, even one whose files a fault
    // made unreadable: its threshold still holds then.
    bool boardHasStatement = false;
    char boardText[kKeySetStatementMaxSize];
    KeySetStatement boardStatement;
    bool boardRead = readStatement(board, boardText, &boardStatement, &boardHasStatement) >= 0;
    bool boardRooted = boards.roots > 0 || boardHasStatement;
    if (!boardRooted && ours.roots == 0 && !hasStatement && !hasSignatures) return true;

    if (!hasStatement) return refuse("no statement (%s) beside its keys", kKeySetStatementName);
    if (!statementRead) return refuse("its statement (%s) can't be read", kKeySetStatementName);
    if (count < 0) return refuse("its signatures (%s) can't be read", kKeySetSignaturesName);
    if (!ours.named || ours.keys != static_cast<int>(statement.keyCount))
        return refuse("its statement doesn't name its key files as they are");

    if (!boardHasStatement) {
        boardStatement.version = 0;
        boardStatement.threshold = 1;
    } else if (!boardRead) {
        return refuse("the board's statement (%s/%s) can't be read", board, kKeySetStatementName);
    }
    // The board's key-set version: the higher of its record and its set's own statement.
    std::optional<std::uint32_t> record = readBoardSecurityVersion(kKeySetVersionPath);
    if (!record)
        return refuse("the board's key-set version (%s) can't be read", kKeySetVersionPath);
    std::uint32_t boardVersion = std::max(*record, boardStatement.version);
    if (statement.version <= boardVersion)
        return refuse("key-set version %u is not higher than the board's %u",
                      static_cast<unsigned>(statement.version),
                      static_cast<unsigned>(boardVersion));

    if (boardRooted && boards.signedRoots < static_cast<int>(boardStatement.threshold))
        return refuse("signed by %d of the board's root keys, %u needed", boards.signedRoots,
                      static_cast<unsigned>(boardStatement.threshold));
    if (ours.roots == 0) return refuse("it holds no root key");
    if (static_cast<int>(statement.threshold) > ours.roots)
        return refuse("its threshold %u is above its %d root keys",
                      static_cast<unsigned>(statement.threshold), ours.roots);
    if (ours.signedRoots < static_cast<int>(statement.threshold))
        return refuse("signed by %d of its own root keys, %u needed", ours.signedRoots,
                      static_cast<unsigned>(statement.threshold));
    *version = statement.version;
    return true;
}
