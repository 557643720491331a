// Signed updates on the simulated board: with keys in /etc/update-keys, only an image signed
// by one of them is taken; any other is refused at reception as a damaged image is, the
// report saying why, and nothing of it is unpacked, flashed, written to the module or merged
// into /etc. Without keys there is nothing to check a signature against: images are taken,
// signed or not.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
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

enum class Installed {
    None,
    Makers,
    Both,
    EmptyFolder,
    FileInPlace,      // a file where the key folder belongs
    LinkElsewhere,    // the key folder a link to a folder that isn't a key set beside it
    DanglingLink,     // the key folder a link to a key set that isn't there
    OnlyPublicFile,   // a folder holding only k.pub: a key under the wrong name
    PublicBesideKey,  // makers.key and k.pub
    FifoBesideKey,    // makers.key and a FIFO named fifo.key
    OnlyFifo,         // a FIFO named fifo.key
};

void installKeyFolder(Installed installed, const Keys& keys) {
    switch (installed) {
        case Installed::None:
            return;
        case Installed::EmptyFolder:
            mkdir(kUpdateKeyFolder, 0755);
            return;
        case Installed::FileInPlace:
            writeWholeFile(kUpdateKeyFolder, mkupdate::updateKeyFileText(keys.makers.modulus));
            return;
        case Installed::LinkElsewhere:
            mkdir("/etc/moved-keys", 0755);
            writeWholeFile("/etc/moved-keys/makers.key",
                           mkupdate::updateKeyFileText(keys.makers.modulus));
            ASSERT_EQ(symlink("/etc/moved-keys", kUpdateKeyFolder), 0);
            return;
        case Installed::DanglingLink:
            ASSERT_EQ(symlink("update-keys.4", kUpdateKeyFolder), 0);
            return;
        case Installed::OnlyPublicFile:
            mkdir(kUpdateKeyFolder, 0755);
            writeWholeFile(std::string(kUpdateKeyFolder) + "/k.pub",
                           mkupdate::updateKeyFileText(keys.makers.modulus));
            return;
        case Installed::OnlyFifo:
            mkdir(kUpdateKeyFolder, 0755);
            ASSERT_EQ(mkfifo((std::string(kUpdateKeyFolder) + "/fifo.key").c_str(), 0644), 0);
            return;
        case Installed::Both:
            installUpdateKey(keys.other, "other");
            break;
        case Installed::PublicBesideKey:
            mkdir(kUpdateKeyFolder, 0755);
            writeWholeFile(std::string(kUpdateKeyFolder) + "/k.pub", "");
            break;
        case Installed::FifoBesideKey:
            mkdir(kUpdateKeyFolder, 0755);
            ASSERT_EQ(mkfifo((std::string(kUpdateKeyFolder) + "/fifo.key").c_str(), 0644), 0);
            break;
        case Installed::Makers:
            break;
    }
    installUpdateKey(keys.makers, "makers");
}

struct SignedRow {
    const char* name;
    Installed installed;
    std::function<Bytes(const Keys&)> image;
    // The refusal's lines in the report, with {makers} and {other} for the keys' IDs; empty
    // for an image that is taken.
    std::string refusal;
    // For an image that is taken: what the report says of it before the first step's line.
    std::string taken = "";
};

void PrintTo(const SignedRow& row, std::ostream* out) { *out << row.name; }

const std::vector<SignedRow>& signedRows() {
    static const std::vector<SignedRow> rows = {
        {"signedByTheMakers", Installed::Makers,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, "",
         "image signed by key {makers}, security version 0\n"},
        {"withSecurityVersion", Installed::Makers,
         [](const Keys& keys) {
             return signedWith(sampleUpdateWithoutModule(), keys.makers, false, 7);
         },
         "", "image signed by key {makers}, security version 7\n"},
        {"firstOfTwoKeys", Installed::Both,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, "",
         "image signed by key {makers}, security version 0\n"},
        {"secondOfTwoKeys", Installed::Both,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.other); }, "",
         "image signed by key {other}, security version 0\n"},
        {"signedWithoutKeys", Installed::None,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, ""},
        {"unsignedWithoutKeys", Installed::None,
         [](const Keys&) { return sampleUpdateWithoutModule(); }, ""},
        {"unsignedWithAnEmptyFolder", Installed::EmptyFolder,
         [](const Keys&) { return sampleUpdateWithoutModule(); }, ""},
        {"publicFileBesideTheKey", Installed::PublicBesideKey,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, "",
         "update key folder file /etc/update-keys/k.pub is not named *.key; ignored\n"
         "image signed by key {makers}, security version 0\n"},
        {"fifoBesideTheKey", Installed::FifoBesideKey,
         [](const Keys& keys) { return signedWith(sampleUpdateWithoutModule(), keys.makers); }, "",
         "{fifo?}image signed by key {makers}, security version 0\n"},
        {"onlyAFifo", Installed::OnlyFifo,
         [](const Keys& keys) { return signedWith(fullSample(), keys.makers); },
         "update key file /etc/update-keys/fifo.key unreadable or not a key; ignored\n"
         "image file /tmp/image refused: signed by unknown key {makers}\n"},
        {"unsignedWithAFileForTheFolder", Installed::FileInPlace,
         [](const Keys&) { return fullSample(); },
         "image file /tmp/image refused: key folder /etc/update-keys can't be listed (Not a "
         "directory)\n"},
        {"signedWithAFileForTheFolder", Installed::FileInPlace,
         [](const Keys& keys) { return signedWith(fullSample(), keys.makers); },
         "image file /tmp/image refused: key folder /etc/update-keys can't be listed (Not a "
         "directory)\n"},
        {"folderLinkElsewhere", Installed::LinkElsewhere, [](const Keys&) { return fullSample(); },
         "image file /tmp/image refused: key folder /etc/update-keys is a link, but not to a key "
         "set beside it\n"},
        {"danglingFolderLink", Installed::DanglingLink,
         [](const Keys& keys) { return signedWith(fullSample(), keys.makers); },
         "image file /tmp/image refused: key folder /etc/update-keys can't be listed (No such "
         "file or directory)\n"},
        {"unsignedWithOnlyAPublicFile", Installed::OnlyPublicFile,
         [](const Keys&) { return fullSample(); },
         "update key folder file /etc/update-keys/k.pub is not named *.key; ignored\n"
         "image file /tmp/image refused: key folder /etc/update-keys holds no key file "
         "(*.key)\n"},
        {"signedWithOnlyAPublicFile", Installed::OnlyPublicFile,
         [](const Keys& keys) { return signedWith(fullSample(), keys.makers); },
         "update key folder file /etc/update-keys/k.pub is not named *.key; ignored\n"
         "image file /tmp/image refused: key folder /etc/update-keys holds no key file "
         "(*.key)\n"},
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
        for (auto at = text.find(name); at != std::string::npos; at = text.find(name))
            text.replace(at, std::string(name).size(), idOf(*key));
    return text;
}

class SignedUpdate : public testing::TestWithParam<SignedRow> {};

TEST_P(SignedUpdate, OnlyTheKeysSignaturesAreTaken) {
    const SignedRow& row = GetParam();
    const Keys keys;
    installKeyFolder(row.installed, keys);
    const Bytes image = row.image(keys);
    ASSERT_FALSE(image.empty());
    const std::string flash = seedOldFlash();
    const std::string service = readWholeFile("/etc/service.txt");
    const std::string store = readWholeFile(simStatePath("module.psr"));

    TestPeer peer;
    SimDaemon daemon;
    const std::string notice = runUpdateOnBoard(daemon, peer, image, 120s);
    EXPECT_EQ(
        countOf(daemon.standardError(),
                "no update key installed: images are not signature-checked\n"),
        row.installed == Installed::None || row.installed == Installed::EmptyFolder ? 1u : 0u);
    std::string report = readWholeFile("/tmp/update.log");
    if (row.refusal.empty()) {
        EXPECT_EQ(notice, "OK") << report;
        // Whether the FIFO is met before the key that verifies depends on the folder's order;
        // either way it is named and holds nothing up.
        const std::string fifo =
            "update key file /etc/update-keys/fifo.key unreadable or not a key; ignored\n";
        std::string taken = withIds(row.taken, keys);
        if (auto at = taken.find("{fifo?}"); at != std::string::npos)
            taken.replace(at, 7, report.starts_with(fifo) ? fifo : "");
        EXPECT_TRUE(report.starts_with(taken + "Version Check:")) << report;
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
                         testing::PrintToStringParamName());

}  // namespace

namespace {

// No rollback: the board keeps the security version of the last update that ended OK and
// refuses an image of a lower one; an equal or higher one is taken. An update that ends NOK
// (here: its service records have no /etc/service.txt to go into) raises nothing. A record
// that isn't a number refuses every signed image rather than take one that may be older.
TEST(SecurityVersion, OnlyAnUpdateThatEndedOkRaisesIt) {
    const Keys keys;
    installUpdateKey(keys.makers, "makers");
    const std::string service = readWholeFile("/etc/service.txt");
    const struct {
        std::optional<std::uint32_t> version;  // nothing: a format 1 block
        bool failing;
        const char* notice;
        const char* refusal;  // the report's whole text when refused
        const char* recorded;
        const char* record = nullptr;  // the board's record before the update, if not the last's
    } steps[] = {
        {2, false, "OK", nullptr, "2\n"},
        {1, false, "NOK",
         "image file /tmp/image refused: security version 1 is older than the board's 2\n", "2\n"},
        {std::nullopt, false, "NOK",
         "image file /tmp/image refused: security version 0 is older than the board's 2\n", "2\n"},
        {2, false, "OK", nullptr, "2\n"},
        {5, true, "NOK", nullptr, "2\n"},
        {5, false, "OK", nullptr, "5\n"},
        {9, false, "NOK",
         "image file /tmp/image refused: the board's security version "
         "(/etc/update-security-version) can't be read\n",
         "three\n", "three\n"},
    };
    const Bytes sample = sampleUpdateWithoutModule();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.version.value_or(0));
        if (step.failing) {
            unlink("/etc/service.txt");
        } else {
            writeWholeFile("/etc/service.txt", service);
        }
        if (step.record != nullptr) writeWholeFile(kSecurityVersionPath, step.record);
        TestPeer peer;
        SimDaemon daemon;
        EXPECT_EQ(runUpdateOnBoard(daemon, peer,
                                   signedWith(sample, keys.makers, false, step.version), 120s),
                  step.notice);
        const std::string report = readWholeFile("/tmp/update.log");
        if (step.refusal != nullptr) {
            EXPECT_EQ(report, std::string(step.refusal) + "*UPDATE_FINISHED* ... NOK\n");
        } else {
            EXPECT_TRUE(report.starts_with("image signed by key " + idOf(keys.makers) +
                                           ", security version " +
                                           std::to_string(step.version.value_or(0)) + "\n"))
                << report;
        }
        EXPECT_EQ(readWholeFile(kSecurityVersionPath), step.recorded);
    }
}

}  // namespace

namespace {

// The sample update (without the module's steps) that also installs keys as the board's
// key set, under their names; its steps those given.
Bytes sampleInstallingKeys(const std::vector<std::pair<std::string, const OpensslKey*>>& keys,
                           std::vector<std::string> steps = {"CHECK_VERSIONS", "LAP_SOFTWARE",
                                                             "CHECK_SDP", "UPDATE_KEYS"}) {
    std::string error;
    std::optional<mkupdate::UpdateDescription> update =
        mkupdate::sampleUpdate(kSampleFolder, &error);
    EXPECT_TRUE(update) << error;
    if (!update) return {};
    update->steps = std::move(steps);
    update->installKeys.emplace();
    for (const auto& [name, key] : keys) {
        std::string text = mkupdate::updateKeyFileText(key->modulus);
        update->installKeys->push_back({"/keys/" + name, Bytes(text.begin(), text.end()), false});
    }
    std::vector<std::string> faults;
    std::optional<Bytes> image = mkupdate::buildUpdate(*update, &faults);
    EXPECT_TRUE(image) << (faults.empty() ? "" : faults.front());
    return image.value_or(Bytes());
}

std::vector<std::string> installedKeyFiles() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(kUpdateKeyFolder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// One update of a key rotation: what the peer is told, the board's key files after it, and
// how its report begins and ends (before the finishing line).
struct RotationUpdate {
    const char* name;
    Bytes image;
    const char* notice;
    std::vector<std::string> installedAfter;
    std::string reportStart;
    std::string reportEnd;
};

void runRotation(const std::vector<RotationUpdate>& updates) {
    for (const RotationUpdate& update : updates) {
        SCOPED_TRACE(update.name);
        TestPeer peer;
        SimDaemon daemon;
        EXPECT_EQ(runUpdateOnBoard(daemon, peer, update.image, 120s), update.notice);
        const std::string report = readWholeFile("/tmp/update.log");
        EXPECT_TRUE(report.starts_with(update.reportStart)) << report;
        EXPECT_TRUE(
            report.ends_with(update.reportEnd + "*UPDATE_FINISHED* ... " + update.notice + "\n"))
            << report;
        EXPECT_EQ(installedKeyFiles(), update.installedAfter);
        EXPECT_FALSE(fileExists("/etc/update-keys.new"));
        EXPECT_FALSE(fileExists("/etc/update-keys.old"));
    }
}

// The names of the board's trust in /etc: the key folder's link, its sets, the records.
std::vector<std::string> trustNames() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator("/etc")) {
        std::string name = entry.path().filename().string();
        if (name.starts_with("update-")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string keyFolderLink() {
    std::error_code error;
    return std::filesystem::read_symlink(kUpdateKeyFolder, error).string();
}

// A key is rotated in three updates: the new key is added by an update that the old one
// signed, an update signed by the new key is taken, and an update signed by the new key
// retires the old one. After it, the old key's signature is refused.
TEST(KeyRotation, TakesThreeUpdatesAndRetiresTheOldKey) {
    const Keys keys;
    const OpensslKey& old = keys.makers;
    const OpensslKey& next = keys.other;
    installUpdateKey(old, "old");
    const Bytes sample = sampleUpdateWithoutModule();
    runRotation({
        {"addTheNewKey",
         signedWith(sampleInstallingKeys({{"old.key", &old}, {"next.key", &next}}), old),
         "OK",
         {"next.key", "old.key"},
         "image signed by key " + idOf(old) + ", security version 0\n",
         "Update keys:           started ... OK\n"
         "board's update keys now /etc/update-keys.1 (keys: 2)\n"},
        {"signedByTheNewKey",
         signedWith(sample, next),
         "OK",
         {"next.key", "old.key"},
         "image signed by key " + idOf(next) + ", security version 0\n",
         "Update PPCBOOT:        started ... Nothing Done\n"},
        {"retireTheOldKey",
         signedWith(sampleInstallingKeys({{"next.key", &next}}), next),
         "OK",
         {"next.key"},
         "image signed by key " + idOf(next) + ", security version 0\n",
         "Update keys:           started ... OK\n"
         "board's update keys now /etc/update-keys.2 (keys: 1)\n"},
        {"signedByTheOldKey",
         signedWith(sample, old),
         "NOK",
         {"next.key"},
         "image file /tmp/image refused: signed by unknown key " + idOf(old) + "\n",
         ""},
    });
}

// The sample update as its build script makes it with mkupdate, the way the README shows a
// rotation: "--install-keys DIR" lists UPDATE_KEYS, "--sign KEY.pem" signs. The first image,
// signed by the old key, adds the new one; the second, signed by the new key, retires the old
// one, whose signature is refused from then on.
TEST(KeyRotation, BuiltAsTheReadmeShowsRetiresTheOldKey) {
    const std::string tool = PROJECT_BINARY_PATH "/mkupdate";
    if (!fileExists(tool)) GTEST_SKIP() << "the board's build has no mkupdate";
    const Keys keys;
    const OpensslKey& old = keys.makers;
    const OpensslKey& next = keys.other;
    installUpdateKey(old, "old");
    // The board's module has the image's firmware and keys already: what the rotation holds is
    // the key step's, and the firmware's load would only add its wait to each update.
    writeWholeFile("/etc/data.txt", onTheSampleImagesModule(readWholeFile("/etc/data.txt")));
    std::filesystem::create_directories("/tmp/both");
    std::filesystem::create_directories("/tmp/next-only");
    writeWholeFile("/tmp/both/old.key", mkupdate::updateKeyFileText(old.modulus));
    writeWholeFile("/tmp/both/next.key", mkupdate::updateKeyFileText(next.modulus));
    writeWholeFile("/tmp/next-only/next.key", mkupdate::updateKeyFileText(next.modulus));
    auto built = [&](const std::string& options, const std::string& out) {
        ProgramRun run =
            runProgram(kSampleFolder + "/build-image " + options + " " + tool + " " + out);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        std::string image = readWholeFile(out);
        return Bytes(image.begin(), image.end());
    };
    auto keysInstalled = [](const char* set, int count) {
        return "Update PPCBOOT:        started ... Nothing Done\n"
               "Update keys:           started ... OK\n"
               "board's update keys now /etc/" +
               std::string(set) + " (keys: " + std::to_string(count) + ")\n";
    };
    runRotation({
        {"addTheNewKey",
         built("--install-keys /tmp/both --sign " + old.pem, "/tmp/add.img"),
         "OK",
         {"next.key", "old.key"},
         "image signed by key " + idOf(old) + ", security version 0\n",
         keysInstalled("update-keys.1", 2)},
        {"retireTheOldKey",
         built("--sign " + next.pem + " --install-keys /tmp/next-only", "/tmp/retire.img"),
         "OK",
         {"next.key"},
         "image signed by key " + idOf(next) + ", security version 0\n",
         keysInstalled("update-keys.2", 1)},
        {"signedByTheOldKey",
         built("--sign " + old.pem, "/tmp/old.img"),
         "NOK",
         {"next.key"},
         "image file /tmp/image refused: signed by unknown key " + idOf(old) + "\n",
         ""},
    });
}

// A board without keys takes an unsigned update that brings its first key set (enrolment);
// from then on it takes only images that key signed.
TEST(KeyRotation, ABoardWithoutKeysIsEnrolled) {
    const Keys keys;
    TestPeer peer;
    SimDaemon daemon;
    EXPECT_EQ(
        runUpdateOnBoard(daemon, peer, sampleInstallingKeys({{"makers.key", &keys.makers}}), 120s),
        "OK");
    EXPECT_EQ(installedKeyFiles(), std::vector<std::string>{"makers.key"});
    EXPECT_EQ(readWholeFile("/etc/update-keys/makers.key"),
              mkupdate::updateKeyFileText(keys.makers.modulus));
    // The record that the board has held keys stands beside them.
    EXPECT_EQ(trustNames(),
              (std::vector<std::string>{"update-keys", "update-keys.1", "update-keys.enrolled"}));
    EXPECT_EQ(keyFolderLink(), "update-keys.1");
    daemon.kill();
    TestPeer again;
    SimDaemon next;
    EXPECT_EQ(runUpdateOnBoard(next, again, sampleUpdateWithoutModule(), 120s), "NOK");
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "image file /tmp/image refused: no signature\n*UPDATE_FINISHED* ... NOK\n");
}

// A board that got its keys before the link form holds them in a plain folder: its next key
// step moves it to the link form, and the new set takes its place at the update's end,
// together with the security version; the old folder goes.
TEST(KeySet, APlainFolderIsMovedToTheLinkForm) {
    const Keys keys;
    installUpdateKey(keys.makers, "makers");
    TestPeer peer;
    SimDaemon daemon;
    const Bytes image =
        signedWith(sampleInstallingKeys({{"makers.key", &keys.makers}, {"other.key", &keys.other}}),
                   keys.makers, false, 3);
    EXPECT_EQ(runUpdateOnBoard(daemon, peer, image, 120s), "OK");
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_TRUE(
        report.ends_with("Update keys:           started ... OK\n"
                         "board's security version now 3\n"
                         "board's update keys now /etc/update-keys.1 (keys: 2)\n"
                         "*UPDATE_FINISHED* ... OK\n"))
        << report;
    EXPECT_EQ(keyFolderLink(), "update-keys.1");
    EXPECT_EQ(installedKeyFiles(), (std::vector<std::string>{"makers.key", "other.key"}));
    EXPECT_EQ(trustNames(),
              (std::vector<std::string>{"update-keys", "update-keys.1", "update-keys.enrolled",
                                        "update-security-version"}));
    EXPECT_EQ(readWholeFile(kSecurityVersionPath), "3\n");
}

// The key step only stages the set: an update whose later step fails ends NOK with the
// board's keys and security version as they were, and the staged set gone. The key step
// still moves the plain folder to the link form, which changes no key.
TEST(KeySet, AnUpdateThatFailsAfterItsKeyStepChangesNoKey) {
    const Keys keys;
    installUpdateKey(keys.makers, "makers");
    writeWholeFile(kSecurityVersionPath, "2\n");
    // The service records have no /etc/service.txt to go into: the SDP step fails.
    unlink("/etc/service.txt");
    TestPeer peer;
    SimDaemon daemon;
    const Bytes image = signedWith(
        sampleInstallingKeys({{"other.key", &keys.other}},
                             {"CHECK_VERSIONS", "LAP_SOFTWARE", "UPDATE_KEYS", "CHECK_SDP"}),
        keys.makers, false, 5);
    EXPECT_EQ(runUpdateOnBoard(daemon, peer, image, 120s), "NOK");
    const std::string report = readWholeFile("/tmp/update.log");
    EXPECT_NE(report.find("Update keys:           started ... OK\n"), std::string::npos) << report;
    EXPECT_TRUE(
        report.ends_with("key set /etc/update-keys.1 removed; the board's keys are kept\n"
                         "*UPDATE_FINISHED* ... NOK\n"))
        << report;
    EXPECT_EQ(installedKeyFiles(), std::vector<std::string>{"makers.key"});
    EXPECT_EQ(keyFolderLink(), "update-keys.0");
    EXPECT_EQ(trustNames(),
              (std::vector<std::string>{"update-keys", "update-keys.0", "update-keys.enrolled",
                                        "update-security-version"}));
    EXPECT_EQ(readWholeFile(kSecurityVersionPath), "2\n");
    // The key that the failed update brought opens nothing.
    daemon.kill();
    TestPeer again;
    SimDaemon next;
    EXPECT_EQ(runUpdateOnBoard(next, again,
                               signedWith(sampleUpdateWithoutModule(), keys.other, false, 5), 120s),
              "NOK");
    EXPECT_EQ(readWholeFile("/tmp/update.log"),
              "image file /tmp/image refused: signed by unknown key " + idOf(keys.other) +
                  "\n*UPDATE_FINISHED* ... NOK\n");
}

// Once keyed, always keyed: a board that has held keys and lost them (a cut, a hand) refuses
// every image and says why; one whose link alone went reads its newest set. A board that
// never held keys takes images unchecked, as ever.
TEST(KeySet, ABoardThatHeldKeysNeverTakesAnImageUnchecked) {
    const Keys keys;
    const struct {
        const char* name;
        bool enrolled;
        void (*lose)();
        bool signedImage;
        const char* notice;
        const char* reportStart;
    } cases[] = {
        {"linkAndSetRemoved", true,
         [] {
             unlink(kUpdateKeyFolder);
             std::filesystem::remove_all("/etc/update-keys.3");
         },
         false, "NOK",
         "image file /tmp/image refused: the board has held update keys "
         "(/etc/update-keys.enrolled), but key folder /etc/update-keys is missing\n"
         "*UPDATE_FINISHED* ... NOK\n"},
        {"setEmptied", true, [] { std::filesystem::remove("/etc/update-keys.3/makers.key"); },
         false, "NOK",
         "image file /tmp/image refused: the board has held update keys "
         "(/etc/update-keys.enrolled), but key folder /etc/update-keys is empty\n"
         "*UPDATE_FINISHED* ... NOK\n"},
        {"recordUnreadable", true,
         [] {
             unlink(kUpdateKeyFolder);
             std::filesystem::remove_all("/etc/update-keys.3");
             unlink(kUpdateKeysEnrolledPath);
             mkfifo(kUpdateKeysEnrolledPath, 0600);
         },
         false, "NOK",
         "image file /tmp/image refused: the board has held update keys "
         "(/etc/update-keys.enrolled), but key folder /etc/update-keys is missing\n"
         "*UPDATE_FINISHED* ... NOK\n"},
        {"onlyTheLinkRemovedUnsigned", true, [] { unlink(kUpdateKeyFolder); }, false, "NOK",
         "image file /tmp/image refused: no signature\n*UPDATE_FINISHED* ... NOK\n"},
        {"onlyTheLinkRemovedSigned", true, [] { unlink(kUpdateKeyFolder); }, true, "OK",
         "image signed by key {makers}, security version 0\n"},
        {"neverEnrolled", false,
         [] {
             unlink(kUpdateKeyFolder);
             std::filesystem::remove_all("/etc/update-keys.3");
         },
         false, "OK", "Version Check:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& name : trustNames()) std::filesystem::remove_all("/etc/" + name);
        std::filesystem::create_directory("/etc/update-keys.3");
        writeWholeFile("/etc/update-keys.3/makers.key",
                       mkupdate::updateKeyFileText(keys.makers.modulus));
        std::filesystem::create_directory_symlink("update-keys.3", kUpdateKeyFolder);
        if (c.enrolled) writeWholeFile(kUpdateKeysEnrolledPath, "");
        c.lose();
        TestPeer peer;
        SimDaemon daemon;
        const Bytes sample = sampleUpdateWithoutModule();
        EXPECT_EQ(runUpdateOnBoard(daemon, peer,
                                   c.signedImage ? signedWith(sample, keys.makers) : sample, 120s),
                  c.notice);
        const std::string report = readWholeFile("/tmp/update.log");
        EXPECT_TRUE(report.starts_with(withIds(c.reportStart, keys))) << report;
    }
}

// A security version record that isn't the daemon's own regular file (a link, even to a good
// record, a folder, a FIFO, another user's file) is read as none can be: every signed image
// is refused rather than taken as if the board's version were 0.
TEST(SecurityVersion, ARecordNotTheDaemonsOwnRefusesImages) {
    const Keys keys;
    installUpdateKey(keys.makers, "makers");
    const struct {
        const char* name;
        void (*make)();
    } records[] = {
        {"link",
         [] {
             writeWholeFile("/etc/good-version", "2\n");
             ASSERT_EQ(symlink("/etc/good-version", kSecurityVersionPath), 0);
         }},
        {"folder", [] { ASSERT_EQ(mkdir(kSecurityVersionPath, 0755), 0); }},
        {"fifo", [] { ASSERT_EQ(mkfifo(kSecurityVersionPath, 0644), 0); }},
        {"anotherUsers",
         [] {
             writeWholeFile(kSecurityVersionPath, "2\n");
             ASSERT_EQ(chown(kSecurityVersionPath, 65534, 65534), 0);
         }},
    };
    for (const auto& record : records) {
        SCOPED_TRACE(record.name);
        std::filesystem::remove_all(kSecurityVersionPath);
        record.make();
        TestPeer peer;
        SimDaemon daemon;
        EXPECT_EQ(
            runUpdateOnBoard(daemon, peer,
                             signedWith(sampleUpdateWithoutModule(), keys.makers, false, 3), 120s),
            "NOK");
        EXPECT_EQ(readWholeFile("/tmp/update.log"),
                  "image file /tmp/image refused: the board's security version "
                  "(/etc/update-security-version) can't be read\n*UPDATE_FINISHED* ... NOK\n");
    }
}

}  // namespace
