#include "tools/mkupdate/key_set_making.h"

#include <fcntl.h>

#include <algorithm>
#include <array>
#include <filesystem>

#include "image/sha256.h"
#include "tools/common/formatted.h"
#include "tools/mkupdate/build_options.h"

namespace mkupdate {
namespace {

std::string_view textOf(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string hexOf(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0xF];
    }
    return hex;
}

std::string idText(const UpdateKeyId& id) { return updateKeyIdText(id).data(); }

std::vector<const SetKey*> rootsOf(const std::vector<SetKey>& keys) {
    std::vector<const SetKey*> roots;
    for (const SetKey& key : keys)
        if (key.role == KeyRole::Root) roots.push_back(&key);
    return roots;
}

const SetKey* keyWithId(const std::vector<const SetKey*>& keys, const UpdateKeyId& id) {
    for (const SetKey* key : keys)
        if (key->id == id) return key;
    return nullptr;
}

// The statement's key lines held to the set's files: the same names, each with its digest.
void holdStatementToKeys(const KeySetStatement& statement, const KeySetFiles& set,
                         const std::string& where, std::vector<std::string>* faults) {
    std::vector<std::string> listed;
    for (std::size_t i = 0; i < statement.keyCount; ++i) {
        const KeySetStatement::Key& line = statement.keys[i];
        listed.emplace_back(line.name);
        auto key = std::find_if(set.keys.begin(), set.keys.end(),
                                [&](const SetKey& k) { return k.name == line.name; });
        if (key == set.keys.end())
            faults->push_back(where + "/" + kKeySetStatementName + ": names " +
                              std::string(line.name) + ", which the set doesn't hold");
        else if (sha256(key->content) != line.digest)
            faults->push_back(where + "/" + kKeySetStatementName + ": " + key->name +
                              " is not the file it names (its SHA-256 differs)");
    }
    for (const SetKey& key : set.keys)
        if (std::find(listed.begin(), listed.end(), key.name) == listed.end())
            faults->push_back(where + "/" + kKeySetStatementName + ": doesn't name " + key.name);
}

}  // namespace

bool isKeySetStatementFile(std::string_view name) {
    return name == kKeySetStatementName || name == kKeySetSignaturesName;
}

std::optional<KeyRole> keyRoleNamed(std::string_view name) {
    if (name == "root") return KeyRole::Root;
    if (name == "release") return KeyRole::Release;
    return std::nullopt;
}

const char* keyRoleName(KeyRole role) { return role == KeyRole::Root ? "root" : "release"; }

std::optional<SetKey> readSetKey(std::string_view name, std::span<const std::uint8_t> content) {
    SetKey key{std::string(name), Bytes(content.begin(), content.end()), {}, {}, KeyRole::Release};
    if (!isKeyFileName(name) || !parseUpdateKey(textOf(content), &key.key, &key.id, &key.role))
        return std::nullopt;
    return key;
}

std::optional<SetKey> readSetKeyFile(const std::string& path) {
    std::array<char, kKeyFileMaxSize> text{};
    long length = readKeyFileText(AT_FDCWD, path.c_str(), text.data());
    if (length < 0) return std::nullopt;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    SetKey key{std::filesystem::path(path).filename().string(),
               Bytes(bytes, bytes + length),
               {},
               {},
               KeyRole::Release};
    if (!parseUpdateKey(textOf(key.content), &key.key, &key.id, &key.role)) return std::nullopt;
    return key;
}

std::size_t rootCount(const std::vector<SetKey>& keys) { return rootsOf(keys).size(); }

std::uint32_t defaultKeySetThreshold(std::size_t roots) {
    return static_cast<std::uint32_t>(roots / 2 + 1);
}

std::string keySetStatementText(std::vector<const SetKey*> keys, std::uint32_t version,
                                std::uint32_t threshold) {
    // std::string compares as unsigned bytes: the order the board holds the names to.
    std::sort(keys.begin(), keys.end(),
              [](const SetKey* a, const SetKey* b) { return a->name < b->name; });
    std::string text(kKeySetStatementFirstLine);
    text += std::string(kKeySetVersionWord) + std::to_string(version) + "\n";
    text += std::string(kKeySetThresholdWord) + std::to_string(threshold) + "\n";
    for (const SetKey* key : keys)
        text += std::string(kKeySetKeyWord) + key->name + " " + hexOf(sha256(key->content)) + "\n";
    return text;
}

std::string keySetSignaturesText(std::vector<RootSignature> signatures) {
    std::sort(signatures.begin(), signatures.end(),
              [](const RootSignature& a, const RootSignature& b) { return a.keyId < b.keyId; });
    std::string text;
    for (std::size_t i = 0; i < signatures.size(); ++i) {
        if (i > 0 && signatures[i].keyId == signatures[i - 1].keyId) continue;
        text += idText(signatures[i].keyId) + " " + hexOf(signatures[i].signature) + "\n";
    }
    return text;
}

const SetKey* keySetSigner(const std::vector<const SetKey*>& roots, std::string_view statement,
                           std::span<const std::uint8_t> signature) {
    const Sha256Digest digest =
        sha256({reinterpret_cast<const std::uint8_t*>(statement.data()), statement.size()});
    for (const SetKey* root : roots)
        if (verifyRsaSha256Pkcs1(root->key, signature, digest)) return root;
    return nullptr;
}

std::uint32_t boardKeySetVersion(const KeySetFiles& board) {
    KeySetStatement statement;
    if (!board.statement || !parseKeySetStatement(*board.statement, &statement)) return 0;
    return statement.version;
}

std::uint32_t boardKeySetThreshold(const KeySetFiles& board) {
    KeySetStatement statement;
    if (!board.statement || !parseKeySetStatement(*board.statement, &statement)) return 1;
    return statement.threshold;
}

namespace {

// The set's statement read into reading and held to its keys; a set with roots needs one.
void readSetStatement(const KeySetFiles& set, const std::string& where,
                      const std::vector<const SetKey*>& roots, KeySetReading* reading) {
    KeySetStatement statement;
    if (set.statement) {
        reading->statementRead = parseKeySetStatement(*set.statement, &statement);
        if (!reading->statementRead)
            reading->faults.push_back(where + "/" + kKeySetStatementName +
                                      ": not a key-set statement");
    } else if (!roots.empty()) {
        reading->faults.push_back(where + ": root keys but no statement (" + kKeySetStatementName +
                                  "); every board refuses the set");
    }
    if (reading->statementRead) {
        reading->version = statement.version;
        reading->threshold = statement.threshold;
        holdStatementToKeys(statement, set, where, &reading->faults);
    }
}

// How many valid signatures came from the new set's roots and from the board's.
struct SignerCounts {
    std::size_t newSigned = 0;
    std::size_t boardSigned = 0;
};

// Each signature matched to its root key by ID and verified; one of neither set is only
// named.
SignerCounts readSigners(const KeySetFiles& set, const std::string& where,
                         const std::vector<const SetKey*>& roots,
                         const std::vector<const SetKey*>& boardRoots, KeySetReading* reading) {
    SignerCounts counts;
    if (!set.signatures || !set.statement) return counts;
    std::vector<std::uint8_t> bytes(set.signatures->size() / 2 + 1);
    std::array<KeySetSignature, kMaxKeySetSignatures> signatures{};
    int count = parseKeySetSignatures(*set.signatures, bytes, signatures);
    if (count < 0)
        reading->faults.push_back(where + "/" + kKeySetSignaturesName + ": not key-set signatures");
    for (int i = 0; i < count; ++i) {
        const KeySetSignature& signature = signatures[static_cast<std::size_t>(i)];
        KeySetSigner signer{signature.keyId, "", false, false, false};
        const SetKey* own = keyWithId(roots, signature.keyId);
        const SetKey* boards = keyWithId(boardRoots, signature.keyId);
        const SetKey* key = own ? own : boards;
        signer.newSetRoot = own != nullptr;
        signer.boardRoot = boards != nullptr;
        if (key != nullptr) {
            signer.name = key->name;
            signer.valid = keySetSigner({key}, *set.statement, signature.signature) != nullptr;
            if (!signer.valid)
                reading->faults.push_back(where + "/" + kKeySetSignaturesName +
                                          ": bad signature by root key " + idText(signature.keyId));
        }
        counts.newSigned += signer.newSetRoot && signer.valid;
        counts.boardSigned += signer.boardRoot && signer.valid;
        reading->signers.push_back(std::move(signer));
    }
    return counts;
}

// A board whose set holds roots: the new set only by its roots' word, and never an older.
void judgeAsBoard(const KeySetFiles& board, std::size_t roots, std::size_t boardSigned,
                  KeySetReading* reading) {
    if (roots == 0) {
        reading->boardFaults.push_back("its set holds root keys, this one none");
        return;
    }
    if (reading->statementRead && reading->version <= boardKeySetVersion(board))
        reading->boardFaults.push_back(formatted("key-set version %u is not above its %u",
                                                 reading->version, boardKeySetVersion(board)));
    if (boardSigned < boardKeySetThreshold(board))
        reading->boardFaults.push_back(formatted("%zu of its root keys signed, it needs %u",
                                                 boardSigned, boardKeySetThreshold(board)));
}

}  // namespace

KeySetReading readKeySet(const KeySetFiles& set, const std::string& where,
                         const KeySetFiles* board) {
    KeySetReading reading;
    const std::vector<const SetKey*> roots = rootsOf(set.keys);
    const std::vector<const SetKey*> boardRoots =
        board ? rootsOf(board->keys) : std::vector<const SetKey*>{};
    if (!set.keys.empty() && roots.size() == set.keys.size())
        reading.faults.push_back(where +
                                 ": root keys only; without a release key no image could be "
                                 "signed for the boards that take it");
    readSetStatement(set, where, roots, &reading);
    const SignerCounts counts = readSigners(set, where, roots, boardRoots, &reading);
    if (reading.statementRead && !roots.empty()) {
        if (reading.threshold > roots.size())
            reading.faults.push_back(formatted(
                "%s: threshold %u, but the set holds %zu root keys: no key set could follow it",
                where.c_str(), reading.threshold, roots.size()));
        else if (counts.newSigned < reading.threshold)
            reading.faults.push_back(
                formatted("%s: %zu of its root keys signed the statement; its threshold is %u",
                          where.c_str(), counts.newSigned, reading.threshold));
    }
    if (board == nullptr || boardRoots.empty()) return reading;
    judgeAsBoard(*board, roots.size(), counts.boardSigned, &reading);
    return reading;
}

std::optional<KeySetFiles> keySetOfFolder(const std::string& folder, std::string* error) {
    KeySetFiles set;
    auto files = readKeyFolder(folder, error);
    if (!files) return std::nullopt;
    for (const PartFile& file : *files) {
        std::string name = std::filesystem::path(file.path).filename().string();
        std::string text(file.content.begin(), file.content.end());
        if (name == kKeySetStatementName)
            set.statement = std::move(text);
        else if (name == kKeySetSignaturesName)
            set.signatures = std::move(text);
        else if (auto key = readSetKey(name, file.content))
            set.keys.push_back(std::move(*key));
    }
    return set;
}

std::optional<std::string> keySetStatementOf(const KeySetFiles& set, const std::string& where,
                                             std::uint32_t version,
                                             std::optional<std::uint32_t> threshold,
                                             std::vector<std::string>* faults) {
    const std::size_t roots = rootCount(set.keys);
    const std::size_t before = faults->size();
    if (roots == 0)
        faults->push_back(where +
                          ": no root key, so no statement: a set of release keys travels "
                          "without one (keygen --role root makes a root key)");
    else if (roots == set.keys.size())
        faults->push_back(where +
                          ": root keys only; without a release key no image could be signed "
                          "for the boards that take it");
    if (threshold && roots > 0 && *threshold > roots)
        faults->push_back(
            formatted("--threshold %u: the set holds %zu root keys", *threshold, roots));
    // A name is a word of the statement's line: no blank or control character within it.
    for (const SetKey& key : set.keys)
        if (std::any_of(key.name.begin(), key.name.end(),
                        [](char c) { return static_cast<unsigned char>(c) <= ' ' || c == 0x7F; }))
            faults->push_back(where + "/" + key.name +
                              ": a blank or control character in its name, which the statement "
                              "can't carry");
    if (faults->size() != before) return std::nullopt;
    std::vector<const SetKey*> keys;
    for (const SetKey& key : set.keys) keys.push_back(&key);
    std::string text =
        keySetStatementText(keys, version, threshold.value_or(defaultKeySetThreshold(roots)));
    if (text.size() > kKeySetStatementMaxSize) {
        faults->push_back(
            formatted("%s: the statement takes %zu bytes, a board reads %zu at most "
                      "(shorter names of the key files make it fit)",
                      where.c_str(), text.size(), kKeySetStatementMaxSize));
        return std::nullopt;
    }
    return text;
}

namespace {

// Whether a board with the keys of order's board takes set; its refusal into faults.
bool boardTakes(const KeySetOrder& order, const KeySetFiles& set, const std::string& where,
                std::vector<std::string>* faults) {
    if (order.board == nullptr) return true;
    std::string refusals;
    for (const std::string& refusal : readKeySet(set, where, order.board).boardFaults)
        refusals += (refusals.empty() ? "" : "; ") + refusal;
    if (refusals.empty()) return true;
    faults->push_back("a board with the keys of " + order.boardFolder +
                      " refuses this key set: " + refusals);
    return false;
}

}  // namespace

bool stateKeySet(const KeySetOrder& order, UpdateDescription* update,
                 std::vector<std::string>* faults) {
    const std::string where = "--install-keys";
    KeySetFiles set;
    for (const PartFile& file : update->installKeys.value_or(std::vector<PartFile>{})) {
        auto key = readSetKey(keyFileName(file), file.content);
        if (!key) return true;
        set.keys.push_back(std::move(*key));
    }
    if (!order.version) {
        if (rootCount(set.keys) == 0) return boardTakes(order, set, where, faults);
        faults->push_back(where +
                          ": the set holds root keys: give --keyset-version N, above the "
                          "boards' key-set version");
        return false;
    }
    auto statement = keySetStatementOf(set, where, *order.version, order.threshold, faults);
    if (!statement) return false;
    std::vector<const SetKey*> roots = rootsOf(set.keys);
    const std::string others = order.board ? " nor of --board-keys " + order.boardFolder : "";
    if (order.board)
        for (const SetKey* root : rootsOf(order.board->keys)) roots.push_back(root);
    std::vector<RootSignature> signatures;
    const Bytes message(statement->begin(), statement->end());
    for (const RootSigningKey& root : order.rootKeys) {
        std::string error;
        if (keyWithId(roots, root.id) == nullptr) {
            faults->push_back(root.path + ": key " + idText(root.id) +
                              " is no root key of the set" + others);
            continue;
        }
        auto signature = root.sign(message, &error);
        if (!signature)
            faults->push_back(root.path + ": " + error);
        else
            signatures.push_back({root.id, std::move(*signature)});
    }
    for (const PartFile& file : order.rootSignatures) {
        if (const SetKey* signer = keySetSigner(roots, *statement, file.content))
            signatures.push_back({signer->id, file.content});
        else
            faults->push_back(file.path + ": no root key of the set" + others +
                              " made this signature of the statement");
    }
    if (!faults->empty()) return false;
    const std::string signaturesText = keySetSignaturesText(signatures);
    set.statement = *statement;
    set.signatures = signaturesText;
    if (!boardTakes(order, set, where, faults)) return false;
    update->keySetStatement = PartFile{kKeySetStatementName, message, false};
    update->keySetSignatures =
        PartFile{kKeySetSignaturesName, Bytes(signaturesText.begin(), signaturesText.end()), false};
    return true;
}

}  // namespace mkupdate
