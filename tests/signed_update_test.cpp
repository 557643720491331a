// Signed updates on the simulated board: with keys in /etc/update-keys, only an image signed
// by one of them is taken; any other is refused at reception as a damaged image is, the
// report saying why, and nothing of it is unpacked, flashed, written to the module or merged
// into /etc. Without keys there is nothing to check a signature against: images are taken,
// signed or not.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/ai_message.h"
#include "sim/flash_model.h"
#include "sim/sim_state.h"
#include "tests/support/board.h"
#include "tests/support/openssl_keys.h"
#include "tests/support/updates.h"
#include "tools/mkupdate/image_signing.h"
#include "tools/mkupdate/sample_update.h"

using namespace std::chrono_literals;

namespace {

using mkupdate::Bytes;

// The makers' key (3072 bits, as mkupdate makes them) and another (2048 bits).
struct Keys {
    OpensslKey makers = makeOpensslKey("makers", 3072);
    OpensslKey other = makeOpensslKey("other", 2048);
};

std::string idOf(const OpensslKey& key) {
    return updateKeyIdText(updateKeyIdOf(key.modulus)).data();
}

Bytes fullSample() {
    std::string error;
    auto image = mkupdate::buildSampleUpdate(kSampleFolder, &error);
    EXPECT_TRUE(image) << error;
    return image.value_or(Bytes());
}

// image with one byte of file index changed, its size list and CRCs made right again.
Bytes withFileChanged(const Bytes& image, std::size_t index) {
    std::string error;
    auto split = mkupdate::splitMultiImage(image, &error);
    EXPECT_TRUE(split) << error;
    if (!split) return {};
    Bytes& file = split->files.at(index);
    file[file.size() / 2] ^= 0x01;
    return mkupdate::buildMultiImage(split->files, split->name, &error).value_or(Bytes());
}

// to with file 0 (the signature block) of from.
Bytes withFile0Of(const Bytes& to, const Bytes& from) {
    std::string error;
    auto target = mkupdate::splitMultiImage(to, &error);
    auto source = mkupdate::splitMultiImage(from, &error);
    EXPECT_TRUE(target && source) << error;
    if (!target || !source) return {};
    target->files.front() = source->files.front();
    return mkupdate::buildMultiImage(target->files, target->name, &error).value_or(Bytes());
}

Bytes withFile0(const Bytes& image, const std::string& file0) {
    std::string error;
    auto split = mkupdate::splitMultiImage(image, &error);
    EXPECT_TRUE(split) << error;
    if (!split) return {};
    split->files.front() = Bytes(file0.begin(), file0.end());
    return mkupdate::buildMultiImage(split->files, split->name, &error).value_or(Bytes());
}

enum class Installed { None, Makers, Both };

struct SignedRow {
    const char* name;
    Installed installed;
    std::function<Bytes(const Keys&)> image;
    // The refusal's line in the report, with {makers} and {other} for the keys' IDs; empty
    // for an image that is taken.
    std::string refusal;
};

void PrintTo(const SignedRow& row, std::ostream* out) { *out << row.name; }

const std::vector<SignedRow>& signedRows() {
    static const std::vector<SignedRow> rows = {
        {"signedByTheMakers", Installed::Makers,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, ""},
        {"firstOfTwoKeys", Installed::Both,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, ""},
        {"secondOfTwoKeys", Installed::Both,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.other); }, ""},
        {"signedWithoutKeys", Installed::None,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, ""},
        {"unsignedWithoutKeys", Installed::None,
         [](const Keys&) { return sampleUpdateWithoutModule(); }, ""},
        {"unsigned", Installed::Makers, [](const Keys&) { return fullSample(); },
         "image file /tmp/image refused: no signature\n"},
        {"otherKey", Installed::Makers,
         [](const Keys& keys) { return signedWith(fullSample(), keys.other); },
         "image file /tmp/image refused: signed by unknown key {other}\n"},
        {"archiveByteChanged", Installed::Makers,
         [](const Keys& keys) { return withFileChanged(signedWith(fullSample(), keys.makers), 1); },
         "image file /tmp/image refused: bad signature by key {makers}\n"},
        {"softwareByteChanged", Installed::Makers,
         [](const Keys& keys) { return withFileChanged(signedWith(fullSample(), keys.makers), 2); },
         "image file /tmp/image refused: bad signature by key {makers}\n"},
        {"signatureByteChanged", Installed::Makers,
         [](const Keys& keys) { return withFileChanged(signedWith(fullSample(), keys.makers), 0); },
         "image file /tmp/image refused: bad signature by key {makers}\n"},
        {"signatureOfAnotherImage", Installed::Makers,
         [](const Keys& keys) {
             return withFile0Of(fullSample(), signedWith(sampleUpdateWithoutModule(), keys.makers));
         },
         "image file /tmp/image refused: bad signature by key {makers}\n"},
        {"damagedBlock", Installed::Makers,
         [](const Keys&) { return withFile0(fullSample(), "UPD-SIG\nnot a block"); },
         "image file /tmp/image refused: bad signature (damaged signature block)\n"},
    };
    return rows;
}

std::string withIds(std::string text, const Keys& keys) {
    for (auto [name, key] :
         {std::pair{"{makers}", &keys.makers}, std::pair{"{other}", &keys.other}})
        if (auto at = text.find(name); at != std::string::npos)
            text.replace(at, std::string(name).size(), idOf(*key));
    return text;
}

class SignedUpdate : public testing::TestWithParam<SignedRow> {};

TEST_P(SignedUpdate, OnlyTheKeysSignaturesAreTaken) {
    const SignedRow& row = GetParam();
    const Keys keys;
    if (row.installed != Installed::None) installUpdateKey(keys.makers, "makers");
    if (row.installed == Installed::Both) installUpdateKey(keys.other, "other");
    const Bytes image = row.image(keys);
    ASSERT_FALSE(image.empty());
    const std::string flash = oldFlashContents();
    writeWholeFile(simStatePath(kFlashContentsFile), flash);
    const std::string service = readWholeFile("/etc/service.txt");
    const std::string store = readWholeFile(simStatePath("module.psr"));

    TestPeer peer;
    SimDaemon daemon;
    const std::string notice = runUpdateOnBoard(daemon, peer, image, 120s);
    EXPECT_EQ(countOf(daemon.standardError(),
                      "no update key installed: images are not signature-checked\n"),
              row.installed == Installed::None ? 1u : 0u);
    const std::string report = readWholeFile("/tmp/update.log");
    if (row.refusal.empty()) {
        EXPECT_EQ(notice, "OK") << report;
        EXPECT_TRUE(report.ends_with("*UPDATE_FINISHED* ... OK\n")) << report;
        EXPECT_EQ(report.find("refused"), std::string::npos) << report;
        return;
    }
    EXPECT_EQ(notice, "NOK");
    ASSERT_FALSE(peer.skipped().empty());
    EXPECT_EQ(peer.skipped().back().type, AI_REPLY);
    EXPECT_EQ(peer.skipped().back().text, std::string("OK", 3));
    EXPECT_EQ(report, withIds(row.refusal, keys) + "*UPDATE_FINISHED* ... NOK\n");
    struct stat unpacked {};
    EXPECT_NE(stat("/tmp/update.d", &unpacked), 0) << "nothing unpacked";
    EXPECT_FALSE(fileExists("/tmp/image1.gz"));
    EXPECT_TRUE(readWholeFile(simStatePath(kFlashContentsFile)) == flash) << "flash untouched";
    EXPECT_EQ(readWholeFile("/etc/service.txt"), service);
    EXPECT_EQ(readWholeFile(simStatePath("module.psr")), store);
}

INSTANTIATE_TEST_SUITE_P(Board, SignedUpdate, testing::ValuesIn(signedRows()),
                         [](const testing::TestParamInfo<SignedRow>& row) {
                             return std::string(row.param.name);
                         });

}  // namespace
