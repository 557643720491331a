// A board's trust as a rehearsal shows it, read as the daemon reads the board's key folder and
// security version, before the update (the seeded /etc) and after it (/tmp/etc-after).
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "image/image_signature.h"
#include "tools/rehearse/board_facts.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSignedBy = "image signed by key ";
constexpr std::string_view kSecurityVersionIs = ", security version ";
constexpr std::string_view kRefused = "image file /tmp/image refused: ";

std::vector<KeyFile> keyFiles(const std::string& folder) {
    std::vector<KeyFile> keys;
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        KeyFile key{entry->path().filename().string(), ""};
        RsaPublicKey parsed{};
        UpdateKeyId id{};
        if (isKeyFileName(key.file) && readUpdateKeyFile(entry->path().c_str(), &parsed, &id))
            key.keyId = updateKeyIdText(id).data();
        keys.push_back(key);
    }
    std::sort(keys.begin(), keys.end(),
              [](const KeyFile& a, const KeyFile& b) { return a.file < b.file; });
    return keys;
}

bool present(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

std::uint32_t securityVersionIn(const std::string& path) {
    return readBoardSecurityVersion(path.c_str()).value_or(0);
}

}  // namespace

std::string keyFilesText(const std::vector<KeyFile>& keys, bool folder) {
    if (!folder) return "none (no key folder)";
    if (keys.empty()) return "none";
    std::string text;
    for (const KeyFile& key : keys)
        text += (text.empty() ? "" : ", ") + key.file + " " +
                (key.keyId.empty() ? std::string("(not a key)") : key.keyId);
    return text;
}

TrustFacts readTrustFacts(const std::string& dir, const std::string& report) {
    TrustFacts trust;
    const std::string before = dir + "/before/etc/", after = dir + "/tmp/etc-after/";
    trust.keyFolderBefore = present(before + "update-keys");
    trust.keyFolderAfter = present(after + "update-keys");
    trust.keysBefore = keyFiles(before + "update-keys");
    trust.keysAfter = keyFiles(after + "update-keys");
    trust.securityBefore = securityVersionIn(before + "update-security-version");
    trust.securityAfter = securityVersionIn(after + "update-security-version");
    for (const std::string& line : splitLines(report)) {
        if (line.starts_with(kRefused)) {
            trust.verdict = "refused: " + line.substr(kRefused.size());
        } else if (line.starts_with(kSignedBy)) {
            std::string rest = line.substr(kSignedBy.size());
            std::size_t comma = rest.find(kSecurityVersionIs);
            if (comma == std::string::npos) continue;
            trust.signer = rest.substr(0, comma);
            trust.imageSecurityVersion = static_cast<std::uint32_t>(
                std::strtoul(rest.c_str() + comma + kSecurityVersionIs.size(), nullptr, 10));
            trust.verdict = "valid";
        }
    }
    if (trust.verdict.empty() && !report.empty() &&
        !keysRequired(inspectKeyFolder((before + "update-keys").c_str()).state))
        trust.verdict = "not checked (no update key installed)";
    return trust;
}
