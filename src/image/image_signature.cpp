#include "image/image_signature.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "image/image_header.h"

namespace {

// A key file holds a comment or two and a 4096-bit modulus in hex: 1024 digits.
constexpr std::size_t kKeyFileMaxSize = 4096;

std::array<std::uint8_t, 4> bigEndianWord(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The modulus of a key file's text; false for anything but comments and one key line.
bool parseKeyText(std::string_view text, std::array<std::uint8_t, kRsaMaxBits / 8 + 1>& modulus,
                  std::size_t* length) {
    bool found = false;
    while (!text.empty()) {
        std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        if (found || !line.starts_with(kUpdateKeyLinePrefix)) return false;
        line.remove_prefix(kUpdateKeyLinePrefix.size());
        if (line.empty() || line.size() % 2 != 0 || line.size() / 2 > modulus.size()) return false;
        for (std::size_t i = 0; i < line.size(); i += 2) {
            int high = hexDigit(line[i]);
            int low = hexDigit(line[i + 1]);
            if (high < 0 || low < 0) return false;
            modulus[i / 2] = static_cast<std::uint8_t>(high * 16 + low);
        }
        *length = line.size() / 2;
        found = true;
    }
    return found;
}

bool isKeyFileName(std::string_view name) {
    return name.size() > kUpdateKeySuffix.size() && name.front() != '.' &&
           name.ends_with(kUpdateKeySuffix);
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Calls visit(path) for each key file of folder until it returns true; true then.
template <typename Visit>
bool forEachKeyFile(const char* folder, Visit visit) {
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder));
    if (!dir) return false;
    while (const dirent* entry = readdir(dir.get())) {
        if (!isKeyFileName(entry->d_name)) continue;
        char path[256];
        int written = std::snprintf(path, sizeof path, "%s/%s", folder, entry->d_name);
        if (written > 0 && static_cast<std::size_t>(written) < sizeof path && visit(path))
            return true;
    }
    return false;
}

}  // namespace

SignatureBlockParse parseSignatureBlock(std::span<const std::uint8_t> file0,
                                        SignatureBlock* block) {
    if (file0.size() < kSignatureMagic.size() ||
        !std::equal(kSignatureMagic.begin(), kSignatureMagic.end(), file0.begin()))
        return SignatureBlockParse::Absent;
    if (file0.size() < kSignatureBlockHeaderSize || readBigEndian32(&file0[8]) != kSignatureFormat)
        return SignatureBlockParse::Damaged;
    std::uint32_t length = readBigEndian32(&file0[12]);
    if (length > file0.size() - kSignatureBlockHeaderSize) return SignatureBlockParse::Damaged;
    std::copy_n(&file0[16], kUpdateKeyIdSize, block->keyId.begin());
    block->signature = file0.subspan(kSignatureBlockHeaderSize, length);
    block->note = file0.subspan(kSignatureBlockHeaderSize + length);
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

UpdateKeyId updateKeyIdOf(std::span<const std::uint8_t> modulus) {
    while (!modulus.empty() && modulus.front() == 0) modulus = modulus.subspan(1);
    Sha256Digest digest = sha256(modulus);
    UpdateKeyId id;
    std::copy_n(digest.begin(), id.size(), id.begin());
    return id;
}

UpdateKeyIdText updateKeyIdText(const UpdateKeyId& id) {
    UpdateKeyIdText text{};
    for (std::size_t i = 0; i < id.size(); ++i)
        std::snprintf(&text[2 * i], 3, "%02x", static_cast<unsigned>(id[i]));
    return text;
}

bool readUpdateKeyFile(const char* path, RsaPublicKey* key, UpdateKeyId* id) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char text[kKeyFileMaxSize + 1];
    std::size_t length = 0;
    ssize_t got = 0;
    while (length < sizeof text && ((got = read(fd, text + length, sizeof text - length)) > 0 ||
                                    (got < 0 && errno == EINTR)))
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    close(fd);
    if (got < 0 || length > kKeyFileMaxSize) return false;
    std::array<std::uint8_t, kRsaMaxBits / 8 + 1> modulus{};
    std::size_t modulusLength = 0;
    if (!parseKeyText({text, length}, modulus, &modulusLength)) return false;
    std::span<const std::uint8_t> bytes(modulus.data(), modulusLength);
    if (!makeRsaPublicKey(bytes, key)) return false;
    *id = updateKeyIdOf(bytes);
    return true;
}

bool updateKeysInstalled(const char* folder) {
    return forEachKeyFile(folder, [](const char*) { return true; });
}

SignatureVerdict verifyImageSignature(std::span<const std::uint8_t> file0,
                                      const Sha256Digest& signedDigest, const char* folder,
                                      UpdateKeyId* keyId, void (*unreadable)(const char* path)) {
    if (!updateKeysInstalled(folder)) return SignatureVerdict::NoKeyInstalled;
    SignatureBlock block{};
    switch (parseSignatureBlock(file0, &block)) {
        case SignatureBlockParse::Absent:
            return SignatureVerdict::NoSignature;
        case SignatureBlockParse::Damaged:
            return SignatureVerdict::DamagedBlock;
        case SignatureBlockParse::Found:
            break;
    }
    *keyId = block.keyId;
    // One key at a time: each is a kilobyte, and a board holds few.
    RsaPublicKey key{};
    UpdateKeyId id{};
    bool known = forEachKeyFile(folder, [&](const char* path) {
        if (!readUpdateKeyFile(path, &key, &id)) {
            if (unreadable != nullptr) unreadable(path);
            return false;
        }
        return id == block.keyId;
    });
    if (!known) return SignatureVerdict::UnknownKey;
    return verifyRsaSha256Pkcs1(key, block.signature, signedDigest)
               ? SignatureVerdict::Valid
               : SignatureVerdict::BadSignature;
}

SignatureRefusal signatureRefusal(SignatureVerdict verdict) {
    switch (verdict) {
        case SignatureVerdict::NoKeyInstalled:
        case SignatureVerdict::Valid:
            break;
        case SignatureVerdict::NoSignature:
            return {"no signature", false};
        case SignatureVerdict::DamagedBlock:
            return {"bad signature (damaged signature block)", false};
        case SignatureVerdict::UnknownKey:
            return {"signed by unknown key ", true};
        case SignatureVerdict::BadSignature:
            return {"bad signature by key ", true};
    }
    return {nullptr, false};
}
