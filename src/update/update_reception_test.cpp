#include "update/update_reception.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "core/ai_socket.h"
#include "core/log.h"
#include "image/image_header.h"
#include "image/sha256.h"
#include "image/update_image.h"
#include "tests/support/board.h"
#include "tests/support/bytes.h"
#include "tools/common/gzip_writer.h"
#include "tools/common/image_builder.h"
#include "tools/mkupdate/update_archive.h"
#include "update/update_state.h"

using namespace std::chrono_literals;

namespace {

using Ids = std::vector<std::int32_t>;

// An update image whose archive holds update.d with one file.
Bytes updateImage(const std::string& name, const std::string& content) {
    std::filesystem::remove_all("/tmp/source");
    std::filesystem::create_directories("/tmp/source/update.d");
    writeWholeFile("/tmp/source/update.d/" + name, content);
    std::string error;
    auto archive = mkupdate::packUpdateFolder("/tmp/source/update.d", &error);
    return *mkupdate::buildMultiImage({bytesOf("note"), *archive, bytesOf("lap")}, "update",
                                      &error);
}

// The list up to its end mark.
Ids listed() {
    Ids ids;
    for (std::size_t i = 0; i < update.stepList.size() && update.stepList[i] != STEP_NONE; ++i)
        ids.push_back(update.stepList[i]);
    return ids;
}

// Runs what with a list and position left from an earlier update; its standard output and
// its log without time stamps and source lines.
template <typename What>
auto run(What what, std::string* out, std::string* log) {
    static const std::regex prefix(
        R"(UPDATE_(ERR|LOG)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process \w+ line: \d+: )");
    update.stepList.fill(STEP_CHECK_VERSIONS);
    update.stepListNext = 3;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    auto result = what();
    *log = std::regex_replace(testing::internal::GetCapturedStderr(), prefix, "$1 ");
    *out = testing::internal::GetCapturedStdout();
    return result;
}

class UpdateReception : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(openAiSocket(kAiOwnPath), 0);
        setAiDestination(kAiPeerPath);
        std::filesystem::create_directories("/tmp/update.d");
        writeWholeFile(kTodoPath, "CHECK_SDP\n");  // left from an earlier update
    }
    void TearDown() override {
        closeAiSocket();
        ASSERT_EQ(chdir("/"), 0);
    }
    StartOutcome start(uid_t requester = 0) {
        return run([requester] { return startUpdate(requester); }, &out, &log);
    }

    TestPeer peer;
    std::string log, out;
};

// Only this update's archive is unpacked and its to-do file read: not an earlier to-do file,
// nor an earlier archive file (longer, its tail like a further compressed member) or its
// decompressed archive.
TEST_F(UpdateReception, UnpacksThisUpdatesArchiveAndReadsItsToDoList) {
    writeWholeFile(kImagePath, updateImage("VERSION", "LAP_VERSION 2\n"));
    EXPECT_EQ(start(), StartOutcome::Unpacked);
    EXPECT_EQ(listed(), Ids{});
    EXPECT_EQ(readWholeFile("/tmp/update.d/VERSION"), "LAP_VERSION 2\n");

    Bytes image = updateImage("updatetodo.txt", "REMOVE_DFU_UPLOAD\nPPCBOOT\n");
    ImageFile archive{};
    ASSERT_TRUE(locateImageFile(image, 1, &archive));
    writeWholeFile("/tmp/image1.gz", std::string(archive.size, 'x') +
                                         std::string("\x1f\x8b\x08\0", 4) + std::string(99, 'y'));
    writeWholeFile("/tmp/image1", "left from an earlier update");
    // Files of the earlier update, a folder and a link out of the update's folder.
    std::filesystem::create_directories("/tmp/update.d/sub");
    writeWholeFile("/tmp/update.d/sub/dfu", "earlier");
    std::filesystem::create_directories("/tmp/outside");
    writeWholeFile("/tmp/outside/keep", "not the update's");
    std::filesystem::create_directory_symlink("/tmp/outside", "/tmp/update.d/link");
    writeWholeFile(kImagePath, image);
    ASSERT_EQ(chdir("/etc"), 0);
    EXPECT_EQ(start(), StartOutcome::Unpacked);
    EXPECT_FALSE(fileExists("/tmp/update.d/VERSION")) << "no earlier update's file stands in";
    EXPECT_FALSE(fileExists("/tmp/update.d/sub") || fileExists("/tmp/update.d/link"));
    EXPECT_EQ(readWholeFile("/tmp/outside/keep"), "not the update's") << "links are not followed";
    EXPECT_EQ(log, "LOG /tmp/image size = " + std::to_string(image.size()) + " Bytes \n");
    EXPECT_EQ(out, "state 9   REMOVE_DFU_UPLOAD\nstate 10   PPCBOOT\n");
    EXPECT_EQ(listed(), (Ids{9, 10}));
    EXPECT_FALSE(fileExists("/tmp/image1.gz") || fileExists("/tmp/image1"));
    EXPECT_EQ(readWholeFile(kImagePath).size(), image.size()) << "kept for the software step";
    EXPECT_EQ(std::filesystem::current_path(), "/");
    EXPECT_FALSE(peer.receive(100ms)) << "the reception itself sends no reply";
}

// A refused image: the outcome that the peer is told of, result NOK, and neither the
// list left from an earlier update nor an earlier to-do file runs; nothing is unpacked.
TEST_F(UpdateReception, RefusedImagesRunNoStaleList) {
    Bytes shortImage = updateImage("updatetodo.txt", "PPCBOOT\n");
    Bytes damaged = shortImage;
    shortImage.resize(63);
    damaged[100] ^= 0x10;
    std::string error;
    Bytes single = *mkupdate::wrapImage(bytesOf("payload"), "Linux-test", 0, &error);
    Bytes oneFileData{0, 0, 0, 4, 0, 0, 0, 0, 'a', 'b', 'c', 'd'};
    Bytes oneFile = *mkupdate::imageHeader(oneFileData, "one file", kMultiFileImageType, &error);
    oneFile.insert(oneFile.end(), oneFileData.begin(), oneFileData.end());
    const std::string noArchive = " files; no update archive (file 1) in it!\n";
    for (auto [image, message] : {
             std::pair<const Bytes*, std::string>{
                 nullptr,
                 "File opening error for file :/tmp/image errno = 2 No such file or directory \n"},
             {&shortImage, "file /tmp/image to small (63 Bytes) !\n"},
             {&damaged, "Bad Data Checksum\n"},
             {&single, "image file /tmp/image holds 0" + noArchive},
             {&oneFile, "image file /tmp/image holds 1" + noArchive},
         }) {
        SCOPED_TRACE(message);
        std::filesystem::remove(kImagePath);
        if (image) writeWholeFile(kImagePath, *image);
        update.updateResult = 1;
        EXPECT_EQ(start(), StartOutcome::Refused);
        std::string size = image && image->size() >= 64 ? std::to_string(image->size()) : "";
        EXPECT_EQ(log, (size.empty() ? "" : "LOG /tmp/image size = " + size + " Bytes \n") +
                           "ERR " + message);
        EXPECT_EQ(listed(), Ids{});
        EXPECT_EQ(update.stepListNext, 0u);
        EXPECT_EQ(update.updateResult, 0);
        EXPECT_EQ(out, "");
        EXPECT_EQ(readWholeFile(kTodoPath), "CHECK_SDP\n");
        EXPECT_FALSE(fileExists("/tmp/image1.gz"));
    }
    EXPECT_FALSE(peer.receive(100ms));
}

// Only a regular file that root or the requester owns is taken: not a FIFO (which must not hold
// the daemon up either), nor another user's valid image. (A link: the daemon's system test.)
TEST_F(UpdateReception, OnlyTheRequestersOrRootsPlainFileIsTaken) {
    const Bytes valid = updateImage("updatetodo.txt", "PPCBOOT\n");
    writeWholeFile("/tmp/valid", valid);
    const struct {
        void (*place)();
        uid_t requester;
        std::string message;
    } cases[] = {
        {[] { ASSERT_EQ(mkfifo(kImagePath, 0600), 0); }, 0,
         "image file /tmp/image is not a regular file!\n"},
        {[] {
             std::filesystem::copy_file("/tmp/valid", kImagePath);
             ASSERT_EQ(chown(kImagePath, 1234, 0), 0);
         },
         0, "image file /tmp/image belongs to uid 1234, not to the requester (uid 0) or root!\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::filesystem::remove(kImagePath);
        c.place();
        EXPECT_EQ(start(c.requester), StartOutcome::Refused);
        EXPECT_EQ(log, "ERR " + c.message);
        EXPECT_EQ(listed(), Ids{});
    }
    // The requester's own image is taken.
    std::filesystem::remove(kImagePath);
    std::filesystem::copy_file("/tmp/valid", kImagePath);
    ASSERT_EQ(chown(kImagePath, 1234, 0), 0);
    EXPECT_EQ(start(1234), StartOutcome::Unpacked) << log;
}

// An accepted image whose archive can't be unpacked: the failed command is reported, no step
// runs (neither an earlier to-do list), the update ends NOK, and nothing of the archive nor of
// an earlier update is left in /tmp. The image was accepted: no reply.
TEST_F(UpdateReception, ArchiveThatCantBeUnpackedRunsNoStep) {
    const std::string text = "neither gzip nor tar\n";
    const Bytes notTar = mkupdate::gzipCompress(bytesOf(text));
    struct Case {
        Bytes archive;
        std::string report;
    };
    const Case cases[] = {
        {bytesOf(text), "command \" -gunzip /tmp/image1.gz\" failed: exit status 1\n"},
        {notTar, "command \" -tar xf /tmp/image1\" failed: exit status 2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        std::string error;
        writeWholeFile(kImagePath,
                       *mkupdate::buildMultiImage({bytesOf("note"), c.archive, bytesOf("lap")},
                                                  "update", &error));
        writeWholeFile(kTodoPath, "CHECK_SDP\n");
        std::filesystem::remove(kUpdateReportPath);
        update.updateResult = 1;
        EXPECT_EQ(start(), StartOutcome::NotUnpacked);
        EXPECT_NE(log.find("ERR " + c.report), std::string::npos) << log;
        EXPECT_EQ(readWholeFile(kUpdateReportPath), c.report);
        EXPECT_EQ(listed(), Ids{});
        EXPECT_EQ(update.stepListNext, 0u);
        EXPECT_EQ(update.updateResult, 0);
        EXPECT_EQ(out, "");
        EXPECT_FALSE(fileExists("/tmp/image1.gz") || fileExists("/tmp/image1"));
        EXPECT_FALSE(fileExists("/tmp/update.d"));
        for (const auto& entry : std::filesystem::directory_iterator("/tmp"))
            EXPECT_FALSE(entry.path().string().starts_with("/tmp/update.d.")) << entry.path();
        EXPECT_TRUE(fileExists(kImagePath));
    }
    EXPECT_FALSE(peer.receive(100ms));
}

// The archive is made afresh by the daemon alone (whatever stood at its name goes, a link as a
// link) and read back from the file against the signed digest: bytes that don't match it are
// never left for gunzip.
TEST(ArchiveWrite, IsMadeAfreshAndReadBackAgainstItsDigest) {
    const Bytes archive = bytesOf("the compressed archive");
    const Sha256Digest digest = sha256(archive);
    constexpr const char* kVictimPath = "/etc/victim";
    writeWholeFile(kVictimPath, "root's own\n");
    ASSERT_EQ(symlink(kVictimPath, "/tmp/image1.gz"), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(writeArchive(archive, digest, "/tmp/image1.gz"), ArchiveWrite::Written);
    EXPECT_EQ(readWholeFile(kVictimPath), "root's own\n");
    EXPECT_EQ(readWholeFile("/tmp/image1.gz"), "the compressed archive");
    struct stat info {};
    ASSERT_EQ(lstat("/tmp/image1.gz", &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    Sha256Digest other = digest;
    other[0] ^= 1;
    EXPECT_EQ(writeArchive(archive, other, "/tmp/image1.gz"), ArchiveWrite::Changed);
    EXPECT_FALSE(fileExists("/tmp/image1.gz"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
