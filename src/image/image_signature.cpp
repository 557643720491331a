#include "image/image_signature.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/byte_order.h"
#include "core/dir_stream.h"
#include "core/hex.h"
#include "image/image_header.h"

namespace {

std::array<std::uint8_t, 4> bigEndianWord(std::uint32_t value) {
    std::array<std::uint8_t, 4> word{};
    writeBigEndian32(word.data(), value);
    return word;
}

// The modulus of a key file's text and its role; false for anything but comments, one key
// line and at most one role line.
bool parseKeyText(std::string_view text, std::array<std::uint8_t, kRsaMaxBits / 8 + 1>& modulus,
                  std::size_t* length, KeyRole* role) {
    bool found = false;
    bool roleFound = false;
    *role = KeyRole::Release;
    while (!text.empty()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        bool root = line == kKeyRoleRootLine;
        if (root || line == kKeyRoleReleaseLine) {
            if (roleFound) return false;
            roleFound = true;
            *role = root ? KeyRole::Root : KeyRole::Release;
            continue;
        }
        if (found || !line.starts_with(kUpdateKeyLinePrefix)) return false;
        line.remove_prefix(kUpdateKeyLinePrefix.size());
        if (line.empty() || line.size() % 2 != 0 || line.size() / 2 > modulus.size()) return false;
        for (std::size_t i = 0; i < line.size(); i += 2) {
            int high = hexDigitValue(line[i]);
            int low = hexDigitValue(line[i + 1]);
            if (high < 0 || low < 0) return false;
            modulus[i / 2] = static_cast<std::uint8_t>(high * 16 + low);
        }
        *length = line.size() / 2;
        found = true;
    }
    return found;
}

// The part of path after its last '/'.
std::string_view lastName(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

// Whether the link at folder may be followed: 0 when it names a real folder beside it whose
// name is the folder's own followed by ".N"; the errno of looking for that folder (ENOENT: a
// cut or a hand removed it); -1 for a link to anything else, which only a hand makes.
int versionedLinkFault(const char* folder) {
    std::int32_t number = linkedKeySet(folder);
    if (number < 0) return -1;
    char path[256];
    std::snprintf(path, sizeof path, "%s.%d", folder, static_cast<int>(number));
    struct stat status {};
    if (lstat(path, &status) != 0) return errno;
    return S_ISDIR(status.st_mode) ? 0 : -1;
}

// A check's trial of the key files that its listing meets, for the signature's key: the
// first whose ID is the signature's ends it, its key and role kept.
struct KeyTrial {
    UpdateKeyId wanted;
    void (*unreadable)(const char* path);
    RsaPublicKey key{};
    KeyRole role{};
    bool found = false;
};

// inspectKeyFolder's one listing; with trial, each key file met is tried too, until one is
// found, so that a check lists the folder once.
KeyFolder listKeyFolder(const char* folder, const OtherFileListener* others, KeyFolderRules rules,
                        KeyTrial* trial) {
    struct stat status {};
    if (lstat(folder, &status) != 0) {
        if (errno == ENOENT) return {KeyFolderState::Absent, 0};
    } else if (rules.versionedLink && S_ISLNK(status.st_mode)) {
        int fault = versionedLinkFault(folder);
        if (fault != 0) return {KeyFolderState::Unlistable, fault < 0 ? ELOOP : fault, fault < 0};
    }
    DirStream dir(opendir(folder));
    if (!dir) return {KeyFolderState::Unlistable, errno};
    std::size_t keys = 0;
    std::size_t otherFiles = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) return {KeyFolderState::Unlistable, errno};
            break;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        bool key = isKeyFileName(name);
        keys += key;
        otherFiles += !key;
        // Key files are tried only in a check, until one is found. The set's statement and
        // signatures belong beside its keys, yet count as no key (a folder with only them holds
        // no key file) and are heard of by nobody.
        if (key ? trial == nullptr || trial->found
                : others == nullptr || std::strcmp(name, kKeySetStatementName) == 0 ||
                      std::strcmp(name, kKeySetSignaturesName) == 0)
            continue;
        char path[256];
        int written = std::snprintf(path, sizeof path, "%s/%s", folder, name);
        if (written <= 0 || static_cast<std::size_t>(written) >= sizeof path) continue;
        if (!key) {
            others->heard(others->context, path);
            continue;
        }
        // One key at a time: each is a kilobyte, and a board holds few.
        UpdateKeyId id{};
        if (readUpdateKeyFile(path, &trial->key, &id, &trial->role)) {
            trial->found = id == trial->wanted;
        } else if (trial->unreadable != nullptr) {
            trial->unreadable(path);
        }
    }
    if (keys > 0) return {KeyFolderState::Keys, 0};
    return {otherFiles > 0 ? KeyFolderState::NoKeyFile : KeyFolderState::Empty, 0};
}

}  // namespace

std::int32_t keySetNumber(std::string_view name, std::string_view base) {
    const std::size_t dot = base.size();
    if (name.size() < dot + 2 || name.size() > dot + 10 ||
        std::memcmp(name.data(), base.data(), dot) != 0 || name[dot] != '.' ||
        (name.size() > dot + 2 && name[dot + 1] == '0'))
        return -1;
    std::int32_t number = 0;
    for (std::size_t at = dot + 1; at < name.size(); ++at) {
        if (name[at] < '0' || name[at] > '9') return -1;
        number = number * 10 + (name[at] - '0');
    }
    return number;
}

std::int32_t linkedKeySet(const char* link) {
    char target[64];
    ssize_t length = readlink(link, target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return -1;
    return keySetNumber({target, static_cast<std::size_t>(length)}, lastName(link));
}

bool isKeyFileName(std::string_view name) {
    return name.size() > kUpdateKeySuffix.size() && name.front() != '.' &&
           name.ends_with(kUpdateKeySuffix);
}

SignatureBlockParse parseSignatureBlock(std::span<const std::uint8_t> file0,
                                        SignatureBlock* block) {
    if (file0.size() < kSignatureMagic.size() ||
        !std::equal(kSignatureMagic.begin(), kSignatureMagic.end(), file0.begin()))
        return SignatureBlockParse::Absent;
    if (file0.size() < kSignatureBlockHeaderSize) return SignatureBlockParse::Damaged;
    std::uint32_t format = readBigEndian32(&file0[8]);
    std::size_t headerSize = format == kSignatureFormatFiles      ? kSignatureBlockHeaderSize
                             : format == kSignatureFormatSecurity ? kSecurityBlockHeaderSize
                                                                  : 0;
    if (headerSize == 0 || file0.size() < headerSize) return SignatureBlockParse::Damaged;
    std::uint32_t length = readBigEndian32(&file0[12]);
    if (length > file0.size() - headerSize) return SignatureBlockParse::Damaged;
    block->format = format;
    block->securityVersion =
        format == kSignatureFormatSecurity ? readBigEndian32(&file0[kSignatureBlockHeaderSize]) : 0;
    std::copy_n(&file0[16], kUpdateKeyIdSize, block->keyId.begin());
    block->signature = file0.subspan(headerSize, length);
    block->note = file0.subspan(headerSize + length);
    return SignatureBlockParse::Found;
}

bool digestImageFiles(std::span<const std::uint8_t> image, std::int32_t fileCount,
                      ImageDigests* digests) {
    if (fileCount < 2) return false;
    // Each byte is hashed once: the signed statement holds the files' own digests, which the
    // archive and the software image are then held to.
    Sha256Context statement;
    sha256Init(statement);
    sha256Update(statement, bigEndianWord(static_cast<std::uint32_t>(fileCount - 1)));
    for (std::int32_t index = 1; index < fileCount; ++index) {
        ImageFile file{};
        if (!locateImageFile(image, index, &file)) return false;
        Sha256Digest own = sha256(image.subspan(file.offset, file.size));
        sha256Update(statement, bigEndianWord(file.size));
        sha256Update(statement, own);
        if (index == 1) digests->archive = own;
        if (index == fileCount - 1) digests->software = own;
    }
    digests->signedDigest = sha256Final(statement);
    return true;
}

std::array<std::uint8_t, kSecurityStatementSize> securityStatement(
    std::uint32_t securityVersion, const Sha256Digest& filesDigest) {
    std::array<std::uint8_t, kSecurityStatementSize> statement{};
    auto format = bigEndianWord(kSignatureFormatSecurity);
    auto version = bigEndianWord(securityVersion);
    std::copy(format.begin(), format.end(), statement.begin());
    std::copy(version.begin(), version.end(), statement.begin() + 4);
    std::copy(filesDigest.begin(), filesDigest.end(), statement.begin() + 8);
    return statement;
}

Sha256Digest signedStatementDigest(const SignatureBlock& block, const Sha256Digest& filesDigest) {
    if (block.format != kSignatureFormatSecurity) return filesDigest;
    return sha256(securityStatement(block.securityVersion, filesDigest));
}

UpdateKeyId updateKeyIdOf(std::span<const std::uint8_t> modulus) {
    while (!modulus.empty() && modulus.front() == 0) modulus = modulus.subspan(1);
    Sha256Digest digest = sha256(modulus);
    UpdateKeyId id;
    std::copy_n(digest.begin(), id.size(), id.begin());
    return id;
}

UpdateKeyIdText updateKeyIdText(const UpdateKeyId& id) {
    UpdateKeyIdText text{};
    for (std::size_t i = 0; i < id.size(); ++i) writeHexByte(&text[2 * i], id[i]);
    return text;
}

long readKeyFileText(int folderFd, const char* name, char* text) {
    return readSmallFile(folderFd, name, text, kKeyFileMaxSize);
}

long readSmallFile(int folderFd, const char* name, char* text, std::size_t max) {
    int fd = openat(folderFd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        static_cast<std::size_t>(status.st_size) > max) {
        close(fd);
        return -1;
    }
    // One byte more than the file may hold: a file that grew since fstat is refused.
    char extra = 0;
    std::size_t length = 0;
    ssize_t got = 0;
    while (length <= max) {
        char* into = length < max ? text + length : &extra;
        std::size_t room = length < max ? max - length : 1;
        got = read(fd, into, room);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        length += static_cast<std::size_t>(got);
    }
    close(fd);
    if (got < 0 || length > max) return -1;
    return static_cast<long>(length);
}

bool parseUpdateKey(std::string_view text, RsaPublicKey* key, UpdateKeyId* id, KeyRole* role) {
    std::array<std::uint8_t, kRsaMaxBits / 8 + 1> modulus{};
    std::size_t modulusLength = 0;
    KeyRole own{};
    if (!parseKeyText(text, modulus, &modulusLength, role != nullptr ? role : &own)) return false;
    std::span<const std::uint8_t> bytes(modulus.data(), modulusLength);
    if (!makeRsaPublicKey(bytes, key)) return false;
    *id = updateKeyIdOf(bytes);
    return true;
}

bool readUpdateKeyFile(const char* path, RsaPublicKey* key, UpdateKeyId* id, KeyRole* role) {
    char text[kKeyFileMaxSize];
    long length = readKeyFileText(AT_FDCWD, path, text);
    return length >= 0 && parseUpdateKey({text, static_cast<std::size_t>(length)}, key, id, role);
}

KeyFolder inspectKeyFolder(const char* folder, const OtherFileListener* others,
                           KeyFolderRules rules) {
    return listKeyFolder(folder, others, rules, nullptr);
}

std::optional<std::uint32_t> readBoardSecurityVersion(const char* path) {
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return 0;
        return std::nullopt;
    }
    char text[16] = {};
    struct stat status {};
    ssize_t got = -1;
    // The record is the reader's own making: one that anybody else made or owns is no record.
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid())
        got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0 || text[0] < '0' || text[0] > '9') return std::nullopt;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text, &end, 10);
    if ((*end != '\n' && *end != '\0') || (*end == '\n' && end[1] != '\0') || value > UINT32_MAX)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

SignatureCheck checkImageSignature(std::span<const std::uint8_t> file0,
                                   const Sha256Digest& filesDigest, const char* folder,
                                   std::optional<std::uint32_t> boardSecurityVersion,
                                   void (*unreadable)(const char* path),
                                   const OtherFileListener* others, KeyFolderRules rules) {
    SignatureCheck check{};
    // The block first, so that the one listing of the folder tries its key files.
    SignatureBlock block{};
    SignatureBlockParse parse = parseSignatureBlock(file0, &block);
    KeyTrial trial{block.keyId, unreadable};
    check.folder = listKeyFolder(folder, others, rules,
                                 parse == SignatureBlockParse::Found ? &trial : nullptr);
    switch (check.folder.state) {
        case KeyFolderState::Absent:
        case KeyFolderState::Empty:
            check.verdict =
                rules.enrolled ? SignatureVerdict::KeysLost : SignatureVerdict::NoKeyInstalled;
            return check;
        case KeyFolderState::Unlistable:
            check.verdict = SignatureVerdict::KeyFolderUnlistable;
            return check;
        case KeyFolderState::NoKeyFile:
            check.verdict = SignatureVerdict::NoKeyFile;
            return check;
        case KeyFolderState::Keys:
            break;
    }
    switch (parse) {
        case SignatureBlockParse::Absent:
            check.verdict = SignatureVerdict::NoSignature;
            return check;
        case SignatureBlockParse::Damaged:
            check.verdict = SignatureVerdict::DamagedBlock;
            return check;
        case SignatureBlockParse::Found:
            break;
    }
    check.keyId = block.keyId;
    check.format = block.format;
    check.securityVersion = block.securityVersion;
    if (!trial.found) {
        check.verdict = SignatureVerdict::UnknownKey;
    } else if (!verifyRsaSha256Pkcs1(trial.key, block.signature,
                                     signedStatementDigest(block, filesDigest))) {
        check.verdict = SignatureVerdict::BadSignature;
    } else if (trial.role == KeyRole::Root) {
        check.verdict = SignatureVerdict::RootKeySigned;
    } else if (!boardSecurityVersion) {
        check.verdict = SignatureVerdict::SecurityVersionUnknown;
    } else {
        check.boardSecurityVersion = *boardSecurityVersion;
        check.verdict = block.securityVersion < *boardSecurityVersion
                            ? SignatureVerdict::OlderSecurityVersion
                            : SignatureVerdict::Valid;
    }
    return check;
}

bool describeSignatureRefusal(const SignatureCheck& check, const char* folder, char* text,
                              std::size_t size) {
    UpdateKeyIdText id = updateKeyIdText(check.keyId);
    const char* key = id.data();
    switch (check.verdict) {
        case SignatureVerdict::NoKeyInstalled:
        case SignatureVerdict::Valid:
            return false;
        case SignatureVerdict::NoSignature:
            std::snprintf(text, size, "no signature");
            break;
        case SignatureVerdict::DamagedBlock:
            std::snprintf(text, size, "bad signature (damaged signature block)");
            break;
        case SignatureVerdict::UnknownKey:
            std::snprintf(text, size, "signed by unknown key %s", key);
            break;
        case SignatureVerdict::BadSignature:
            std::snprintf(text, size, "bad signature by key %s", key);
            break;
        case SignatureVerdict::RootKeySigned:
            std::snprintf(text, size, "signed by root key %s, which signs key sets only", key);
            break;
        case SignatureVerdict::KeyFolderUnlistable:
            if (check.folder.strayLink) {
                std::snprintf(text, size, "key folder %s is a link, but not to a key set beside it",
                              folder);
            } else {
                std::snprintf(text, size, "key folder %s can't be listed (%s)", folder,
                              std::strerror(check.folder.error));
            }
            break;
        case SignatureVerdict::KeysLost:
            std::snprintf(text, size,
                          "the board has held update keys (%s), but key folder %s is %s",
                          kUpdateKeysEnrolledPath, folder,
                          check.folder.state == KeyFolderState::Absent ? "missing" : "empty");
            break;
        case SignatureVerdict::NoKeyFile:
            std::snprintf(text, size, "key folder %s holds no key file (*%s)", folder,
                          kUpdateKeySuffix.data());
            break;
        case SignatureVerdict::OlderSecurityVersion:
            std::snprintf(text, size, "security version %u is older than the board's %u",
                          static_cast<unsigned>(check.securityVersion),
                          static_cast<unsigned>(check.boardSecurityVersion));
            break;
        case SignatureVerdict::SecurityVersionUnknown:
            std::snprintf(text, size, "the board's security version (%s) can't be read",
                          kSecurityVersionPath);
            break;
    }
    return true;
}
