// A board's trust as a rehearsal shows it, read as the daemon reads the board's key folder and
// its security and key-set versions, before the update (the seeded /etc) and after it
// (/tmp/etc-after).
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "image/image_signature.h"
#include "image/key_set_statement.h"
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
        KeyFile key{entry->path().filename().string(), "", ""};
        if (key.file == kKeySetStatementName || key.file == kKeySetSignaturesName) continue;
        RsaPublicKey parsed{};
        UpdateKeyId id{};
        KeyRole role = KeyRole::Release;
        if (isKeyFileName(key.file) &&
            readUpdateKeyFile(entry->path().c_str(), &parsed, &id, &role)) {
            key.keyId = updateKeyIdText(id).data();
            key.role = role == KeyRole::Root ? "root" : "release";
        }
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

// The set's statement, as the daemon reads it: 0 without one, nothing when it's there but
// isn't a statement.
std::optional<std::uint32_t> statementVersionIn(const std::string& path) {
    if (!present(path)) return 0;
    KeySetStatement statement;
    if (!parseKeySetStatement(readText(path), &statement)) return std::nullopt;
    return statement.version;
}

// etc: the board's /etc; the higher of its record and its set's statement.
std::optional<std::uint32_t> keySetVersionIn(const std::string& etc) {
    std::optional<std::uint32_t> record = securityVersionIn(etc + "update-keyset-version");
    std::optional<std::uint32_t> statement =
        statementVersionIn(etc + "update-keys/" + kKeySetStatementName);
    if (!record || !statement) return std::nullopt;
    return std::max(*record, *statement);
}

// The board's usable keys: those read as keys (a file that isn't one trusts nobody); of one
// role when asked.
std::size_t keyCount(const std::vector<KeyFile>& keys, std::string_view role = "") {
    return static_cast<std::size_t>(std::count_if(keys.begin(), keys.end(), [&](const KeyFile& k) {
        return !k.keyId.empty() && (role.empty() || k.role == role);
    }));
}

// " (2 root)" of keys that hold root keys.
std::string rootsText(const std::vector<KeyFile>& keys) {
    const std::size_t roots = keyCount(keys, "root");
    return roots == 0 ? "" : " (" + std::to_string(roots) + " root)";
}

std::string keysCell(const std::vector<KeyFile>& keys) {
    const std::size_t count = keyCount(keys);
    return count == 0 ? "keyless" : "keys " + std::to_string(count) + rootsText(keys);
}

// "sv 1 -> 2", "sv 3": a version that changed, or that isn't 0.
void addVersion(std::vector<std::string>& parts, const char* name,
                const std::optional<std::uint32_t>& before,
                const std::optional<std::uint32_t>& after) {
    const std::string was = securityVersionText(before), is = securityVersionText(after);
    if (was != is)
        parts.push_back(name + (" " + was) + " -> " + is);
    else if (was != "0")
        parts.push_back(name + (" " + was));
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
    std::string keys = keysCell(trust.keysBefore);
    // (A key folder made or removed with no key in it changes no one's trust.)
    if (keyFilesText(trust.keysBefore, trust.keyFolderBefore) !=
            keyFilesText(trust.keysAfter, trust.keyFolderAfter) &&
        (before > 0 || after > 0)) {
        const std::string rootsBefore = rootsText(trust.keysBefore);
        const std::string rootsAfter = rootsText(trust.keysAfter);
        std::string afterText = std::to_string(after);
        if (rootsAfter != rootsBefore)
            afterText += rootsAfter.empty() ? " (no root)" : rootsAfter;
        else if (before == after)
            afterText += " (changed)";
        keys += " -> " + (before == 0 || after == 0 ? keysCell(trust.keysAfter) : afterText);
    }
    parts.push_back(keys);
    addVersion(parts, "sv", trust.securityBefore, trust.securityAfter);
    addVersion(parts, "key set", trust.keySetBefore, trust.keySetAfter);
    std::string cell;
    for (const std::string& part : parts) cell += (cell.empty() ? "" : ", ") + part;
    return cell;
}

std::string keyFilesText(const std::vector<KeyFile>& keys, bool folder) {
    if (!folder) return "none (no key folder)";
    if (keys.empty()) return "none";
    std::string text;
    for (const KeyFile& key : keys)
        text +=
            (text.empty() ? "" : ", ") + key.file + " " +
            (key.keyId.empty() ? std::string("(not a key)") : key.keyId + " (" + key.role + ")");
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
    trust.keySetBefore = keySetVersionIn(before);
    trust.keySetAfter = keySetVersionIn(after);
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
