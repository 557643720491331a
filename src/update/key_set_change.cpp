#include "update/key_set_change.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "core/error_codes.h"
#include "core/log.h"
#include "image/key_set_statement.h"

namespace {

constexpr const char* kLogName = "updateKeys";

#define REFUSE(...)                                                     \
    (UPDATE_ERR_AS(kLogName, LogLevel::Critical, kErrorOperationFailed, \
                   "key set refused: " __VA_ARGS__),                    \
     false)

// What a set's folder holds of what the rules count.
struct SetScan {
    bool named = true;  // every key file named in the statement given, with its digest
    int keys = 0;
    int roots = 0;        // distinct root keys
    int signedRoots = 0;  // of them, those whose signature over the statement verifies
};

struct Signatures {
    std::span<const KeySetSignature> list;
    Sha256Digest digest;  // the statement's
};

bool signedBy(const Signatures& signatures, const UpdateKeyId& id, const RsaPublicKey& key) {
    for (const KeySetSignature& signature : signatures.list)
        if (signature.keyId == id)
            return verifyRsaSha256Pkcs1(key, signature.signature, signatures.digest);
    return false;
}

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
    DIR* dir = opendir(folder);
    if (dir == nullptr) return scan;
    // A key listed twice under two names is one key: it signs once.
    UpdateKeyId roots[kMaxKeySetKeys];
    char text[kKeyFileMaxSize];
    while (const dirent* entry = readdir(dir)) {
        if (!isKeyFileName(entry->d_name)) continue;
        ++scan.keys;
        long length = readKeyFileText(dirfd(dir), entry->d_name, text);
        RsaPublicKey key{};
        UpdateKeyId id{};
        KeyRole role{};
        std::string_view bytes(text, static_cast<std::size_t>(std::max(length, 0L)));
        if (length < 0 || !parseUpdateKey(bytes, &key, &id, &role)) continue;
        scan.named = scan.named &&
                     namedIn(statement, entry->d_name,
                             sha256({reinterpret_cast<const std::uint8_t*>(text), bytes.size()}));
        if (role != KeyRole::Root ||
            std::find(roots, roots + scan.roots, id) != roots + scan.roots ||
            scan.roots == static_cast<int>(kMaxKeySetKeys))
            continue;
        roots[scan.roots++] = id;
        if (signedBy(signatures, id, key)) ++scan.signedRoots;
    }
    closedir(dir);
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

}  // namespace

bool keySetChangeAllowed(const char* board, const char* staged, std::uint32_t* version) {
    *version = 0;
    static char statementText[kKeySetStatementMaxSize];
    static char signaturesText[kKeySetSignaturesMaxSize];
    static std::uint8_t signatureBytes[kKeySetSignaturesMaxSize / 2];
    bool hasStatement = false;
    bool hasSignatures = false;
    long statementLength = readSetFile(staged, kKeySetStatementName, statementText,
                                       sizeof statementText, &hasStatement);
    long signaturesLength = readSetFile(staged, kKeySetSignaturesName, signaturesText,
                                        sizeof signaturesText, &hasSignatures);
    std::string_view statementView(statementText,
                                   static_cast<std::size_t>(std::max(statementLength, 0L)));
    KeySetStatement statement;
    bool statementRead = statementLength >= 0 && parseKeySetStatement(statementView, &statement);
    std::array<KeySetSignature, kMaxKeySetSignatures> list{};
    int count =
        signaturesLength < 0
            ? -1
            : parseKeySetSignatures({signaturesText, static_cast<std::size_t>(signaturesLength)},
                                    signatureBytes, list);
    Signatures signatures{
        {list.data(), static_cast<std::size_t>(std::max(count, 0))},
        sha256({reinterpret_cast<const std::uint8_t*>(statementText), statementView.size()})};
    SetScan ours = scanSet(staged, signatures, statementRead ? &statement : nullptr);
    SetScan boards = scanSet(board, signatures);
    // The board's statement stands while its set holds root keys, even one whose files a fault
    // made unreadable: its threshold still holds then.
    bool boardHasStatement = false;
    char boardText[kKeySetStatementMaxSize];
    long boardLength =
        readSetFile(board, kKeySetStatementName, boardText, sizeof boardText, &boardHasStatement);
    bool boardRooted = boards.roots > 0 || boardHasStatement;
    if (!boardRooted && ours.roots == 0 && !hasStatement && !hasSignatures) return true;

    if (!hasStatement) return REFUSE("no statement (%s) beside its keys\n", kKeySetStatementName);
    if (!statementRead) return REFUSE("its statement (%s) can't be read\n", kKeySetStatementName);
    if (count < 0) return REFUSE("its signatures (%s) can't be read\n", kKeySetSignaturesName);
    if (!ours.named || ours.keys != static_cast<int>(statement.keyCount))
        return REFUSE("its statement doesn't name its key files as they are\n");

    KeySetStatement boardStatement;
    boardStatement.threshold = 1;
    if (boardHasStatement &&
        (boardLength < 0 ||
         !parseKeySetStatement({boardText, static_cast<std::size_t>(boardLength)},
                               &boardStatement)))
        return REFUSE("the board's statement (%s/%s) can't be read\n", board, kKeySetStatementName);
    // The board's key-set version: the higher of its record and its set's own statement.
    std::optional<std::uint32_t> record = readBoardSecurityVersion(kKeySetVersionPath);
    if (!record)
        return REFUSE("the board's key-set version (%s) can't be read\n", kKeySetVersionPath);
    std::uint32_t boardVersion = std::max(*record, boardStatement.version);
    if (statement.version <= boardVersion)
        return REFUSE("key-set version %u is not higher than the board's %u\n",
                      static_cast<unsigned>(statement.version),
                      static_cast<unsigned>(boardVersion));

    if (boardRooted && boards.signedRoots < static_cast<int>(boardStatement.threshold))
        return REFUSE("signed by %d of the board's root keys, %u needed\n", boards.signedRoots,
                      static_cast<unsigned>(boardStatement.threshold));
    if (ours.roots == 0) return REFUSE("it holds no root key\n");
    if (static_cast<int>(statement.threshold) > ours.roots)
        return REFUSE("its threshold %u is above its %d root keys\n",
                      static_cast<unsigned>(statement.threshold), ours.roots);
    if (ours.signedRoots < static_cast<int>(statement.threshold))
        return REFUSE("signed by %d of its own root keys, %u needed\n", ours.signedRoots,
                      static_cast<unsigned>(statement.threshold));
    *version = statement.version;
    return true;
}
