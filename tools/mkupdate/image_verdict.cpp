#include "tools/mkupdate/image_verdict.h"

#include "core/byte_order.h"
#include "image/image_header.h"
#include "image/image_signature.h"
#include "tools/common/formatted.h"
#include "tools/common/json_text.h"
#include "tools/mkupdate/archive_listing.h"
#include "tools/mkupdate/image_builder.h"
#include "update/board_keys.h"
#include "update/step_table.h"

namespace mkupdate {
namespace {

constexpr std::size_t kArchiveFile = 1;

const char* verdict(bool good) { return good ? "ok" : "BAD"; }

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
        // The last file of an update is the LAP software image, an image of its own.
        auto content = image.subspan(file.offset, file.size);
        if (i + 1 == listing.files.size() && content.size() >= 4 &&
            readBigEndian32(content.data()) == kImageMagic) {
            ImageListing inner = inspectImage(content);
            text += " image " + quotedText(inner.name) +
                    formatted(" type %u ", static_cast<unsigned>(inner.type));
            text += inner.valid() ? "valid" : "BAD: " + inner.failure;
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
};

TrustListing trustListing(const ImageListing& listing, std::span<const std::uint8_t> image,
                          const ArchiveListing* archive) {
    TrustListing trust{"", Json{{"signature", nullptr}}};
    if (listing.multiFile && !listing.files.empty() && listing.files.front().inside) {
        const ListedFile& file0 = listing.files.front();
        SignatureBlock block{};
        switch (parseSignatureBlock(image.subspan(file0.offset, file0.size), &block)) {
            case SignatureBlockParse::Absent:
                trust.text = "signature    none\n";
                break;
            case SignatureBlockParse::Damaged:
                trust.text = "signature    BAD: damaged signature block\n";
                trust.json["signature"] = Json{{"damaged", true}};
                break;
            case SignatureBlockParse::Found: {
                UpdateKeyIdText keyId = updateKeyIdText(block.keyId);
                const char* id = keyId.data();
                trust.text = formatted("signature    key %s, format %u, security version %u\n", id,
                                       block.format, block.securityVersion);
                trust.json["signature"] = Json{{"keyId", id},
                                               {"format", block.format},
                                               {"securityVersion", block.securityVersion}};
                break;
            }
        }
    }
    if (archive == nullptr || !archive->failure.empty()) return trust;
    const std::string folder = std::string(kUpdateFolderName) + "/" + kUpdateKeysFolderName + "/";
    Json keys = Json::array();
    for (const ArchiveEntry& entry : archive->contents.entries) {
        if (!entry.name.starts_with(folder) || entry.name.size() == folder.size()) continue;
        RsaPublicKey key{};
        UpdateKeyId id{};
        std::string_view text(reinterpret_cast<const char*>(entry.content.data()),
                              entry.content.size());
        bool read = entry.type == '0' && isKeyFileName(entry.name.substr(folder.size())) &&
                    parseUpdateKey(text, &key, &id);
        std::string shown = read ? std::string(updateKeyIdText(id).data()) : "BAD: not a key";
        trust.text += "key set      " + entry.name + " " + shown + "\n";
        keys.push_back(Json{{"name", entry.name}, {"keyId", read ? Json(shown) : Json(nullptr)}});
    }
    if (!keys.empty()) trust.json["keySet"] = std::move(keys);
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
        const std::string keys = std::string(kUpdateFolderName) + "/" + kUpdateKeysFolderName + "/";
        for (const ArchiveEntry& entry : contents.entries) {
            if (!entry.name.starts_with(keys) || entry.name.size() == keys.size()) continue;
            if (!update.installKeys) update.installKeys.emplace();
            update.installKeys->push_back(PartFile{entry.name, entry.content, false});
        }
    }
    if (listed({"LAP_SOFTWARE"})) {
        const ListedFile& last = listing.files.back();
        auto lap = image.subspan(last.offset, last.size);
        update.lapImage = PartFile{formatted("file %zu (the last)", listing.files.size() - 1),
                                   Bytes(lap.begin(), lap.end()), false};
    }
    return update;
}

std::string listingJson(const ImageListing& listing, const ArchiveListing* archive,
                        const Json& trust, const std::vector<std::string>& faults) {
    Json json{{"length", listing.fileLength}};
    if (listing.headerPresent) {
        json["header"] = Json{{"magic", listing.magic},
                              {"headerCrc", listing.headerCrc},
                              {"headerCrcOk", listing.headerCrc == listing.computedHeaderCrc},
                              {"dataSize", listing.dataSize},
                              {"dataCrc", listing.dataCrc},
                              {"dataCrcOk", listing.dataCrc == listing.computedDataCrc},
                              {"type", listing.type},
                              {"name", listing.name}};
    }
    Json& files = json["files"] = Json::array();
    for (const ListedFile& file : listing.files)
        files.push_back(Json{{"offset", file.offset}, {"size", file.size}});
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
    json["faults"] = faults;
    json["valid"] = faults.empty();
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
        }
    }
    TrustListing trust = trustListing(listing, image, archive ? &*archive : nullptr);
    result.text += trust.text;
    if (result.faults.empty()) result.text += "result       valid\n";
    for (const std::string& fault : result.faults)
        result.text += "result       BAD: " + fault + "\n";
    result.json = listingJson(listing, archive ? &*archive : nullptr, trust.json, result.faults);
    return result;
}

}  // namespace mkupdate
