#include "tools/mkupdate/image_verdict.h"

#include <algorithm>
#include <optional>

#include "core/byte_order.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "tools/common/archive_listing.h"
#include "tools/common/formatted.h"
#include "tools/common/image_builder.h"
#include "tools/common/json_text.h"
#include "tools/common/signature_words.h"
#include "tools/mkupdate/key_set_making.h"
#include "tools/mkupdate/update_archive.h"
#include "update/board_keys.h"
#include "update/step_table.h"

namespace mkupdate {
namespace {

constexpr std::size_t kArchiveFile = 1;

const char* verdict(bool good) { return good ? "ok" : "BAD"; }

const std::string kKeySetFolder =
    std::string(kUpdateFolderName) + "/" + kUpdateKeysFolderName + "/";

// A member of the key set that the update installs (not its folder).
bool inKeySet(const ArchiveEntry& entry) {
    std::string_view path = placedPath(entry.name);
    return path.starts_with(kKeySetFolder) && path.size() > kKeySetFolder.size();
}

bool selects(const ArchiveContents& contents, std::string_view keyword) {
    return std::find(contents.steps.begin(), contents.steps.end(), keyword) != contents.steps.end();
}

// The last file of an update beyond its archive: the LAP software image.
std::string lastFileName(const ImageListing& listing) {
    return formatted("file %zu (the last)", listing.files.size() - 1);
}

// Each part that the image carries and no step of its to-do list reads, where it lies.
std::vector<std::string> unreadPartFaults(const ArchiveContents& contents,
                                          const ImageListing& listing) {
    std::array<std::string, kUpdateParts> where;
    if (listing.files.size() > kArchiveFile + 1) where[PART_LAP] = lastFileName(listing);
    auto member = [&](UpdatePart part, UpdateFileKind kind) {
        std::string path = std::string(kUpdateFolderName) + "/" + kUpdateFileRoles[kind].member;
        if (findArchiveFile(contents.entries, path) != nullptr)
            where[part] += (where[part].empty() ? "" : ", ") + path;
    };
    member(PART_PSKEYS, FILE_PSKEYS);
    for (UpdateFileKind kind : kFirmwareFiles) member(PART_FIRMWARE, kind);
    member(PART_SERVICES, FILE_SERVICES);
    if (contents.versionFound) where[PART_VERSIONS] = std::string(kUpdateFolderName) + "/VERSION";
    if (std::any_of(contents.entries.begin(), contents.entries.end(), inKeySet))
        where[PART_KEYS] = kKeySetFolder;
    std::array<bool, kUpdateParts> carried{};
    for (std::size_t part = 0; part < kUpdateParts; ++part) carried[part] = !where[part].empty();
    std::vector<std::string> faults;
    for (UpdatePart part : unreadParts(carried, contents.steps))
        faults.push_back(where[part] + ": " + unreadPartText(part, "update.d/updatetodo.txt"));
    return faults;
}

std::string headerText(const ImageListing& listing) {
    std::string text =
        formatted("file length  %llu bytes\n", static_cast<unsigned long long>(listing.fileLength));
    if (!listing.headerPresent) return text;
    std::uint64_t dataBytes = listing.fileLength - kImageHeaderSize;
    text +=
        formatted("magic        0x%08X %s\n", listing.magic, verdict(listing.magic == kImageMagic));
    text += formatted("header CRC   0x%08X %s", listing.headerCrc,
                      verdict(listing.headerCrc == listing.computedHeaderCrc));
    if (listing.headerCrc != listing.computedHeaderCrc)
        text += formatted(" (computed 0x%08X)", listing.computedHeaderCrc);
    text += formatted("\ndata size    %u bytes %s", listing.dataSize,
                      verdict(listing.dataSize == dataBytes));
    if (listing.dataSize != dataBytes)
        text += formatted(" (file holds %llu)", static_cast<unsigned long long>(dataBytes));
    text += formatted("\ndata CRC     0x%08X %s", listing.dataCrc,
                      verdict(listing.dataCrc == listing.computedDataCrc));
    if (listing.dataCrc != listing.computedDataCrc)
        text += formatted(" (computed 0x%08X)", listing.computedDataCrc);
    text += formatted("\ntype         %u%s\n", static_cast<unsigned>(listing.type),
                      listing.multiFile ? " (multi-file)" : "");
    return text + "name         " + quotedText(listing.name) + "\n";
}

// The last file of an update is the LAP software image, an image of its own: its listing
// when file index is that file, lies inside the data and begins with the magic.
std::optional<ImageListing> lastFileImage(const ImageListing& listing,
                                          std::span<const std::uint8_t> image, std::size_t index) {
    const ListedFile& file = listing.files[index];
    if (index + 1 != listing.files.size() || !file.inside) return std::nullopt;
    auto content = image.subspan(file.offset, file.size);
    if (content.size() < 4 || readBigEndian32(content.data()) != kImageMagic) return std::nullopt;
    return inspectImage(content);
}

std::string filesText(const ImageListing& listing, std::span<const std::uint8_t> image) {
    if (!listing.multiFile) return "";
    std::string text = listing.sizeListEnded
                           ? formatted("files        %zu\n", listing.files.size())
                           : "files        size list not ended by 0 within the data\n";
    for (std::size_t i = 0; i < listing.files.size(); ++i) {
        const ListedFile& file = listing.files[i];
        text += formatted("  file %-5zu offset %llu size %u", i,
                          static_cast<unsigned long long>(file.offset), file.size);
        if (!file.inside) {
            text += " BAD: reaches beyond the data\n";
            continue;
        }
        if (auto inner = lastFileImage(listing, image, i)) {
            text += " image " + quotedText(inner->name) +
                    formatted(" type %u ", static_cast<unsigned>(inner->type));
            text += inner->valid() ? "valid" : "BAD: " + inner->failure;
        }
        text += "\n";
    }
    return text;
}

// What file 0's signature block says (whose key, which format, which security version), and
// the key set that the update installs: who vouches for the image, and whom it will trust.
struct TrustListing {
    std::string text;
    Json json;  // "signature", and "keySet" when the update installs keys
    bool unsignedImage = false;
    KeySetFiles keySet;  // the keys (those the board reads), statement and signatures packed
};

struct KeySetListing {
    std::string text;
    Json json;
};

// The statement of a key set that the update installs: its version and threshold, and who
// signed it, the set's own roots by name and ID, others by ID (only a board that holds them
// can check their signatures).
KeySetListing keySetListing(const KeySetFiles& set) {
    KeySetReading reading = readKeySet(set, kKeySetFolder.substr(0, kKeySetFolder.size() - 1));
    KeySetListing listing{"", Json::object()};
    if (reading.statementRead) {
        listing.text = formatted("key set      version %u, threshold %u\n", reading.version,
                                 reading.threshold);
        listing.json = Json{{"version", reading.version}, {"threshold", reading.threshold}};
    } else {
        listing.text = set.statement ? "key set      BAD: not a key-set statement\n"
                                     : "key set      BAD: signatures without a statement\n";
        listing.json = Json{{"version", nullptr}, {"threshold", nullptr}};
    }
    Json& signers = listing.json["signedBy"] = Json::array();
    for (const KeySetSigner& signer : reading.signers) {
        std::string id = updateKeyIdText(signer.keyId).data();
        if (signer.name.empty())
            listing.text += "key set      signed by " + id + " (no root key of this set)\n";
        else
            listing.text += "key set      signed by root " + signer.name + " " + id +
                            (signer.valid ? "" : " BAD: bad signature") + "\n";
        signers.push_back(
            Json{{"keyId", id},
                 {"name", signer.name.empty() ? Json(nullptr) : Json(signer.name)},
                 {"valid", signer.name.empty() ? Json(nullptr) : Json(signer.valid)}});
    }
    return listing;
}

// File 0's signature block in the tools' words; a damaged block is a fault of the image,
// marked as the verdict's faults are.
void listSignature(std::span<const std::uint8_t> file0, TrustListing* trust) {
    SignatureBlock block{};
    const SignatureBlockParse parsed = parseSignatureBlock(file0, &block);
    trust->text = std::string("signature    ") +
                  (parsed == SignatureBlockParse::Damaged ? "BAD: " : "") +
                  signatureBlockWords(parsed, block) + "\n";
    switch (parsed) {
        case SignatureBlockParse::Absent:
            trust->unsignedImage = true;
            break;
        case SignatureBlockParse::Damaged:
            trust->json["signature"] = Json{{"damaged", true}};
            break;
        case SignatureBlockParse::Found:
            trust->json["signature"] = Json{{"keyId", updateKeyIdText(block.keyId).data()},
                                            {"format", block.format},
                                            {"securityVersion", block.securityVersion}};
            break;
    }
}

TrustListing trustListing(const ImageListing& listing, std::span<const std::uint8_t> image,
                          const ArchiveListing* archive) {
    TrustListing trust{"", Json{{"signature", nullptr}}, false, {}};
    if (listing.multiFile && !listing.files.empty() && listing.files.front().inside) {
        const ListedFile& file0 = listing.files.front();
        listSignature(image.subspan(file0.offset, file0.size), &trust);
    }
    if (archive == nullptr || !archive->failure.empty()) return trust;
    Json keys = Json::array();
    KeySetFiles set;
    for (const ArchiveEntry& entry : archive->contents.entries) {
        if (!inKeySet(entry)) continue;
        std::string_view name = placedPath(entry.name).substr(kKeySetFolder.size());
        std::string text(entry.content.begin(), entry.content.end());
        if (name == kKeySetStatementName) {
            set.statement = std::move(text);
            continue;
        }
        if (name == kKeySetSignaturesName) {
            set.signatures = std::move(text);
            continue;
        }
        auto key = entry.type == '0' ? readSetKey(name, entry.content) : std::nullopt;
        std::string id = key ? std::string(updateKeyIdText(key->id).data()) : "";
        trust.text += "key set      " + entry.name + " " +
                      (key ? id + " " + keyRoleName(key->role) : "BAD: not a key") + "\n";
        keys.push_back(Json{{"name", entry.name},
                            {"keyId", key ? Json(id) : Json(nullptr)},
                            {"role", key ? Json(keyRoleName(key->role)) : Json(nullptr)}});
        if (key) set.keys.push_back(std::move(*key));
    }
    if (!keys.empty()) trust.json["keySet"] = std::move(keys);
    if (set.statement || set.signatures) {
        KeySetListing statement = keySetListing(set);
        trust.text += statement.text;
        trust.json["keySetStatement"] = std::move(statement.json);
    }
    trust.keySet = std::move(set);
    return trust;
}

// The update as the daemon's steps find it: update.d's files, VERSION's values, the selected
// steps, and the image's last file as the LAP software image.
UpdateDescription unpackedUpdate(const ArchiveContents& contents, const ImageListing& listing,
                                 std::span<const std::uint8_t> image, std::uint64_t flashSize) {
    auto listed = [&](std::initializer_list<std::string_view> keywords) {
        for (const std::string& step : contents.steps)
            for (std::string_view keyword : keywords)
                if (step == keyword) return true;
        return false;
    };
    // Only the parts that a listed step reads can make it fail.
    const bool used[kUpdateFileKinds] = {
        listed({"CHECK_VERSIONS", "BT_MOD_SET_COMP", "BT_MOD_SET_ALL_WRITE"}),
        listed({"BT_MOD_SET_FIRM_STACK"}),
        listed({"BT_MOD_SET_FIRM_STACK"}),
        listed({"BT_MOD_SET_FIRM_STACK"}),
        listed({"BT_MOD_SET_FIRM_STACK"}),
        listed({"BT_MOD_SET_FIRM_STACK"}),
        listed({"CHECK_SDP"}),
    };
    UpdateDescription update;
    update.fromImage = true;
    update.flashSize = flashSize;
    update.name = listing.name;
    for (std::size_t kind = 0; kind < kUpdateFileKinds; ++kind) {
        std::string path = std::string(kUpdateFolderName) + "/" + kUpdateFileRoles[kind].member;
        const ArchiveEntry* entry = findArchiveFile(contents.entries, path);
        if (entry != nullptr && used[kind])
            update.files[kind] = PartFile{path, entry->content, (entry->mode & 0111) != 0};
    }
    if (listed({"CHECK_VERSIONS"})) {
        for (std::size_t i = 0; i < kVersionCount; ++i) update.versions[i] = contents.versions[i];
    }
    update.steps = contents.steps;
    if (listed({"UPDATE_KEYS"})) {
        for (const ArchiveEntry& entry : contents.entries) {
            if (!inKeySet(entry)) continue;
            PartFile file{entry.name, entry.content, false};
            std::string_view name = placedPath(entry.name).substr(kKeySetFolder.size());
            if (!update.installKeys) update.installKeys.emplace();
            if (name == kKeySetStatementName)
                update.keySetStatement = std::move(file);
            else if (name == kKeySetSignaturesName)
                update.keySetSignatures = std::move(file);
            else
                update.installKeys->push_back(std::move(file));
        }
    }
    if (listed({"LAP_SOFTWARE"})) {
        const ListedFile& last = listing.files.back();
        auto lap = image.subspan(last.offset, last.size);
        update.lapImage = PartFile{lastFileName(listing), Bytes(lap.begin(), lap.end()), false};
    }
    return update;
}

// An image's 64-byte header as list reads it, its checksums verified.
Json headerJson(const ImageListing& listing) {
    return Json{{"magic", listing.magic},
                {"headerCrc", listing.headerCrc},
                {"headerCrcOk", listing.headerCrc == listing.computedHeaderCrc},
                {"dataSize", listing.dataSize},
                {"dataCrc", listing.dataCrc},
                {"dataCrcOk", listing.dataCrc == listing.computedDataCrc},
                {"type", listing.type},
                {"name", listing.name}};
}

std::string listingJson(const ImageListing& listing, std::span<const std::uint8_t> image,
                        const ArchiveListing* archive, const Json& trust,
                        const ImageVerdict& verdict) {
    Json json{{"format_version", kListingFormatVersion}, {"length", listing.fileLength}};
    if (listing.headerPresent) json["header"] = headerJson(listing);
    Json& files = json["files"] = Json::array();
    for (std::size_t i = 0; i < listing.files.size(); ++i) {
        const ListedFile& file = listing.files[i];
        files.push_back(Json{{"offset", file.offset}, {"size", file.size}});
        // The LAP software image's own header, as the text's line of the last file shows it.
        if (auto inner = lastFileImage(listing, image, i)) {
            files.back()["header"] = headerJson(*inner);
            files.back()["valid"] = inner->valid();
        }
    }
    if (archive != nullptr && archive->failure.empty()) {
        const ArchiveContents& contents = archive->contents;
        Json& members = json["members"] = Json::array();
        for (const ArchiveEntry& entry : contents.entries) {
            members.push_back(Json{{"name", entry.name},
                                   {"type", std::string(1, entry.type)},
                                   {"mode", entry.mode},
                                   {"size", entry.content.size()}});
        }
        if (contents.todoFound) json["steps"] = contents.steps;
        if (contents.versionFound) {
            Json& versions = json["versions"] = Json::object();
            for (std::size_t i = 0; i < contents.versions.size(); ++i) {
                const auto& version = contents.versions[i];
                versions[kInitialComponentTable[i].keyword] =
                    version ? Json(*version) : Json(nullptr);
            }
        }
    }
    for (const auto& [key, value] : trust.items()) json[key] = value;
    json["warnings"] = verdict.warnings;
    json["faults"] = verdict.faults;
    json["valid"] = verdict.valid();
    return jsonText(json) + "\n";
}

}  // namespace

ImageVerdict judgeImage(std::span<const std::uint8_t> image, std::uint64_t flashSize) {
    ImageVerdict result;
    ImageListing listing = inspectImage(image);
    result.text = headerText(listing) + filesText(listing, image);
    if (!listing.valid()) result.faults.push_back(listing.failure);
    if (listing.valid() && !listing.multiFile) {
        result.faults.push_back(formatted("type %u is not a multi-file update image (type 4)",
                                          static_cast<unsigned>(listing.type)));
    }
    if (listing.valid() && listing.multiFile && listing.files.size() <= kArchiveFile) {
        result.faults.push_back(formatted("the image holds %zu files; no update archive (file 1)",
                                          listing.files.size()));
    }
    std::optional<ArchiveListing> archive;
    if (listing.multiFile && listing.files.size() > kArchiveFile &&
        listing.files[kArchiveFile].inside) {
        const ListedFile& file = listing.files[kArchiveFile];
        archive = listUpdateArchive(image.subspan(file.offset, file.size));
        result.text += archive->text;
        if (!archive->failure.empty()) {
            result.faults.push_back(archive->failure);
        } else if (!archive->contents.todoFound) {
            result.faults.push_back("update archive: no update.d/updatetodo.txt, no step runs");
        } else if (archive->contents.steps.empty()) {
            result.faults.push_back("update.d/updatetodo.txt selects no step, no step runs");
        } else if (!archive->contents.unknownLines.empty()) {
            for (const std::string& line : archive->contents.unknownLines)
                result.faults.push_back("update.d/updatetodo.txt " + line +
                                        " names no step; that step never runs");
        } else if (result.faults.empty()) {
            std::vector<std::string> stepFaults =
                checkUpdate(unpackedUpdate(archive->contents, listing, image, flashSize));
            result.faults.insert(result.faults.end(), stepFaults.begin(), stepFaults.end());
            std::vector<std::string> unread = unreadPartFaults(archive->contents, listing);
            result.faults.insert(result.faults.end(), unread.begin(), unread.end());
        }
    }
    TrustListing trust = trustListing(listing, image, archive ? &*archive : nullptr);
    result.text += trust.text;
    if (archive && archive->failure.empty() && selects(archive->contents, "UPDATE_KEYS") &&
        trust.json.contains("keySet") && trust.unsignedImage)
        result.warnings.push_back(kUnsignedKeySetWarning);
    if (archive && archive->failure.empty() && selects(archive->contents, "UPDATE_KEYS"))
        result.keySet = std::move(trust.keySet);
    for (const std::string& warning : result.warnings)
        result.text += "warning      " + warning + "\n";
    if (result.faults.empty()) result.text += "result       valid\n";
    for (const std::string& fault : result.faults)
        result.text += "result       BAD: " + fault + "\n";
    result.json = listingJson(listing, image, archive ? &*archive : nullptr, trust.json, result);
    return result;
}

}  // namespace mkupdate
