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
constexpr std::string_view kRefusedVerdict = "refused: ";
constexpr std::string_view kNotCheckedVerdict = "not checked (no update key installed)";

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

// What the daemon reads there: 0 without the file, nothing when it holds no number.
std::optional<std::uint32_t> securityVersionIn(const std::string& path) {
    return readBoardSecurityVersion(path.c_str());
}

// The board's usable keys: those read as keys (a file that isn't one trusts nobody).
std::size_t keyCount(const std::vector<KeyFile>& keys) {
    return static_cast<std::size_t>(
        std::count_if(keys.begin(), keys.end(), [](const KeyFile& k) { return !k.keyId.empty(); }));
}

std::string keysCell(std::size_t count) {
    return count == 0 ? "keyless" : "keys " + std::to_string(count);
}

// A refusal's reason without its key's ID, which a table has no room for: "signed by unknown
// key", "bad signature".
std::string shortReason(std::string reason) {
    const std::size_t idLength = 2 * kUpdateKeyIdSize;
    if (reason.size() > idLength && reason[reason.size() - idLength - 1] == ' ' &&
        reason.find_first_not_of("0123456789abcdef", reason.size() - idLength) == std::string::npos)
        reason.resize(reason.size() - idLength - 1);
    constexpr std::string_view kByKey = " by key";
    if (reason.ends_with(kByKey)) reason.resize(reason.size() - kByKey.size());
    return reason;
}

}  // namespace

std::string securityVersionText(const std::optional<std::uint32_t>& version) {
    return version ? std::to_string(*version) : "unreadable";
}

std::string signatureText(const TrustFacts& trust) {
    if (trust.verdict.empty()) return "not looked at";
    if (trust.signer.empty()) return trust.verdict;
    return trust.verdict + ", key " + trust.signer + ", security version " +
           std::to_string(trust.imageSecurityVersion.value_or(0));
}

std::string trustCell(const TrustFacts& trust, const std::string& imageSigner) {
    if (trust.verdict.starts_with(kRefusedVerdict))
        return std::string(kRefusedVerdict) +
               shortReason(trust.verdict.substr(kRefusedVerdict.size()));
    std::vector<std::string> parts;
    if (trust.verdict == kNotCheckedVerdict)
        parts.push_back(imageSigner == "unsigned" ? "unsigned" : "not checked");
    const std::size_t before = keyCount(trust.keysBefore), after = keyCount(trust.keysAfter);
    std::string keys = keysCell(before);
    // (A key folder made or removed with no key in it changes no one's trust.)
    if (keyFilesText(trust.keysBefore, trust.keyFolderBefore) !=
            keyFilesText(trust.keysAfter, trust.keyFolderAfter) &&
        (before > 0 || after > 0))
        keys += " -> " + (before == 0 || after == 0
                              ? keysCell(after)
                              : std::to_string(after) + (before == after ? " (changed)" : ""));
    parts.push_back(keys);
    const std::string svBefore = securityVersionText(trust.securityBefore);
    const std::string svAfter = securityVersionText(trust.securityAfter);
    if (svBefore != svAfter)
        parts.push_back("sv " + svBefore + " -> " + svAfter);
    else if (svBefore != "0")
        parts.push_back("sv " + svBefore);
    std::string cell;
    for (const std::string& part : parts) cell += (cell.empty() ? "" : ", ") + part;
    return cell;
}

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
            trust.verdict = std::string(kRefusedVerdict) + line.substr(kRefused.size());
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
        trust.verdict = kNotCheckedVerdict;
    return trust;
}
