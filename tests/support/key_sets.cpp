#include "tests/support/key_sets.h"

#include <gtest/gtest.h>

#include "image/sha256.h"
#include "tools/common/gzip_writer.h"
#include "tools/common/image_builder.h"
#include "tools/common/tar_archive.h"

namespace {

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

std::vector<std::uint8_t> bytesOfText(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

}  // namespace

std::string keyFileOf(const OpensslKey& key, bool root) {
    return std::string("# a test key\nrsa-sha256 65537 ") + hexOf(key.modulus) + "\n" +
           (root ? "role root\n" : "");
}

std::string keySetStatementOf(std::uint32_t version, std::uint32_t threshold,
                              const std::map<std::string, std::string>& keyFiles) {
    std::string text = "update-keyset 1\nversion " + std::to_string(version) + "\nthreshold " +
                       std::to_string(threshold) + "\n";
    for (const auto& [name, file] : keyFiles) {
        Sha256Digest digest = sha256(bytesOfText(file));
        text += "key " + name + " " + hexOf({digest.begin(), digest.end()}) + "\n";
    }
    return text;
}

std::string keySetSignaturesOf(const std::string& statement,
                               const std::vector<const OpensslKey*>& signers) {
    std::string text;
    for (const OpensslKey* key : signers) {
        Sha256Digest id = sha256(key->modulus);
        text += hexOf({id.begin(), id.begin() + 16}) + " " +
                hexOf(opensslSign(*key, bytesOfText(statement))) + "\n";
    }
    return text;
}

std::vector<std::uint8_t> keySetUpdateImage(const std::map<std::string, std::string>& files,
                                            const std::string& todo) {
    std::vector<mkupdate::TarMember> members{{"update.d/", true, false, {}},
                                             {"update.d/update-keys/", true, false, {}}};
    for (const auto& [name, content] : files)
        members.push_back({"update.d/update-keys/" + name, false, false, bytesOfText(content)});
    members.push_back({"update.d/updatetodo.txt", false, false, bytesOfText(todo)});
    std::string error;
    auto archive = mkupdate::tarArchive(members, &error);
    EXPECT_TRUE(archive) << error;
    auto image = mkupdate::buildMultiImage(
        {{'n', '\n'}, mkupdate::gzipCompress(archive.value_or(std::vector<std::uint8_t>()))},
        "key set update", &error);
    EXPECT_TRUE(image) << error;
    return image.value_or(std::vector<std::uint8_t>());
}
