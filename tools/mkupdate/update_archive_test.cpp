#include "tools/mkupdate/update_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "image/image_header.h"
#include "tests/support/board.h"
#include "tools/mkupdate/gzip_writer.h"

namespace mkupdate {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string textOf(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Decompressed by the platform's gunzip, as the board does it.
std::string gunzipped(const Bytes& compressed) {
    writeWholeFile("/tmp/data.gz", compressed);
    EXPECT_EQ(std::system("gunzip -c /tmp/data.gz > /tmp/data 2>/tmp/gunzip.err"), 0)
        << readWholeFile("/tmp/gunzip.err");
    return readWholeFile("/tmp/data");
}

std::string field(const Bytes& archive, std::size_t offset, std::size_t length) {
    return std::string(archive.begin() + static_cast<long>(offset),
                       archive.begin() + static_cast<long>(offset + length));
}

TEST(GzipCompress, HeaderHasNoNameAndTimeZeroAndTrailerCrcAndSize) {
    Bytes data = bytesOf("123456789");
    Bytes gz = gzipCompress(data);
    EXPECT_EQ(Bytes(gz.begin(), gz.begin() + 10), (Bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3}));
    EXPECT_EQ(Bytes(gz.end() - 8, gz.end()), (Bytes{0x26, 0x39, 0xF4, 0xCB, 9, 0, 0, 0}));
    EXPECT_EQ(gunzipped(gz), "123456789");
}

TEST(GzipCompress, PlatformGunzipRestoresEveryKindOfData) {
    std::vector<Bytes> cases;
    cases.push_back({});
    cases.push_back(bytesOf("a"));
    cases.push_back(Bytes(100000, 0));  // longest matches, distance 1
    Bytes noise(70000);
    std::uint32_t seed = 5;
    for (auto& byte : noise) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(seed >> 24);
    }
    cases.push_back(noise);
    // Repeats at distances up to and beyond the 32 KiB window.
    Bytes repeats;
    for (std::size_t length : {3, 4, 10, 258, 259, 5000, 32767, 32768, 40000}) {
        Bytes piece(noise.begin(), noise.begin() + static_cast<long>(length));
        repeats.insert(repeats.end(), piece.begin(), piece.end());
        repeats.insert(repeats.end(), piece.begin(), piece.end());
    }
    cases.push_back(repeats);
    std::string textData;
    for (int i = 0; i < 3000; ++i)
        textData += "line " + std::to_string(i * 37 % 101) + " of text\n";
    cases.push_back(bytesOf(textData));
    for (const Bytes& data : cases) {
        Bytes gz = gzipCompress(data);
        ASSERT_EQ(gunzipped(gz), textOf(data)) << data.size() << " bytes";
        EXPECT_EQ(gzipCompress(data), gz) << "same data, same bytes";
    }
    EXPECT_LT(gzipCompress(bytesOf(textData)).size(), textData.size() / 4);
}

TEST(TarArchive, UstarHeaderFieldsAndRecordPadding) {
    std::string error;
    auto archive = tarArchive({{"update.d/", true, false, {}},
                               {"update.d/dfu", false, true, bytesOf("#!/bin/sh\n")},
                               {"update.d/VERSION", false, false, Bytes(513, 'v')}},
                              &error);
    ASSERT_TRUE(archive) << error;
    EXPECT_EQ(archive->size(), 10240u);
    const Bytes& a = *archive;
    EXPECT_EQ(field(a, 0, 10), std::string("update.d/\0", 10));
    EXPECT_EQ(field(a, 100, 8), std::string("0000755\0", 8));
    EXPECT_EQ(field(a, 124, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(a[156], '5');
    EXPECT_EQ(field(a, 257, 8), std::string("ustar\0"
                                            "00",
                                            8));
    EXPECT_EQ(field(a, 265, 5), std::string("root\0", 5));
    // The checksum: sum of the header bytes with the field taken as blanks.
    unsigned sum = 0;
    for (std::size_t i = 0; i < 512; ++i) sum += (i >= 148 && i < 156) ? ' ' : a[i];
    char checksum[8];
    std::snprintf(checksum, sizeof checksum, "%06o", sum);
    EXPECT_EQ(field(a, 148, 8), std::string(checksum) + std::string("\0 ", 2));

    EXPECT_EQ(field(a, 512, 13), std::string("update.d/dfu\0", 13));
    EXPECT_EQ(field(a, 612, 8), std::string("0000755\0", 8));
    EXPECT_EQ(field(a, 636, 12), std::string("00000000012\0", 12));
    EXPECT_EQ(field(a, 648, 12), std::string("00000000000\0", 12));
    EXPECT_EQ(a[668], '0');
    EXPECT_EQ(field(a, 1024, 10), "#!/bin/sh\n");
    EXPECT_EQ(field(a, 1536 + 100, 8), std::string("0000644\0", 8));
    EXPECT_EQ(field(a, 1536 + 124, 12), std::string("00000001001\0", 12));
    EXPECT_EQ(field(a, 2048, 513), std::string(513, 'v'));
    EXPECT_EQ(field(a, 2048 + 513, 10240 - 2048 - 513), std::string(10240 - 2048 - 513, '\0'));
}

TEST(TarArchive, LongNamesUseThePrefixFieldOrAreRefused) {
    std::string error;
    std::string folder = "update.d/" + std::string(120, 'f');
    auto archive = tarArchive({{folder + "/file", false, false, bytesOf("x")}}, &error);
    ASSERT_TRUE(archive) << error;
    EXPECT_EQ(field(*archive, 0, 5), std::string("file\0", 5));
    EXPECT_EQ(field(*archive, 345, folder.size() + 1), folder + '\0');
    EXPECT_FALSE(tarArchive({{"update.d/" + std::string(101, 'n'), false, false, {}}}, &error));
    EXPECT_EQ(error, "name \"update.d/" + std::string(101, 'n') + "\" doesn't fit a tar header");
}

class PackUpdateFolder : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories("/tmp/src/folder/sub");
        writeWholeFile("/tmp/src/folder/updatetodo.txt", "PPCBOOT\n");
        writeWholeFile("/tmp/src/folder/dfu", "#!/bin/sh\necho dfu\n");
        chmod("/tmp/src/folder/dfu", 0700);
        writeWholeFile("/tmp/src/folder/sub/stack.dfu", std::string(3000, 's'));
        writeWholeFile("/tmp/src/folder/B", "upper case sorts first\n");
    }
};

TEST_F(PackUpdateFolder, PacksAsUpdateDSortedAndThePlatformUnpacksIt) {
    std::string error;
    auto members = collectUpdateFolder("/tmp/src/folder", &error);
    ASSERT_TRUE(members) << error;
    std::vector<std::string> names;
    for (const TarMember& member : *members) names.push_back(member.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{"update.d/", "update.d/B", "update.d/dfu", "update.d/sub/",
                                        "update.d/sub/stack.dfu", "update.d/updatetodo.txt"}));
    auto packed = packUpdateFolder("/tmp/src/folder", &error);
    ASSERT_TRUE(packed) << error;
    writeWholeFile("/tmp/archive.gz", *packed);
    std::filesystem::create_directories("/tmp/out");
    ASSERT_EQ(std::system("cd /tmp/out && gunzip -c /tmp/archive.gz | tar xf -"), 0);
    EXPECT_EQ(readWholeFile("/tmp/out/update.d/updatetodo.txt"), "PPCBOOT\n");
    EXPECT_EQ(readWholeFile("/tmp/out/update.d/sub/stack.dfu"), std::string(3000, 's'));
    struct stat info {};
    ASSERT_EQ(stat("/tmp/out/update.d/dfu", &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u) << "the DFU program stays executable";
}

TEST_F(PackUpdateFolder, TimesAndModesOfTheFilesDoNotChangeTheArchive) {
    std::string error;
    auto first = packUpdateFolder("/tmp/src/folder", &error);
    std::filesystem::last_write_time("/tmp/src/folder/B", std::filesystem::file_time_type{});
    chmod("/tmp/src/folder/updatetodo.txt", 0600);
    chmod("/tmp/src/folder/dfu", 0755);
    auto second = packUpdateFolder("/tmp/src/folder", &error);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, *second);
}

TEST_F(PackUpdateFolder, RefusesWhatIsNeitherFileNorFolder) {
    ASSERT_EQ(mkfifo("/tmp/src/folder/pipe", 0600), 0);
    std::string error;
    EXPECT_FALSE(packUpdateFolder("/tmp/src/folder", &error));
    EXPECT_EQ(error, "/tmp/src/folder/pipe is neither a file nor a folder");
    EXPECT_FALSE(packUpdateFolder("/tmp/src/none", &error));
    EXPECT_EQ(error, "/tmp/src/none is not a folder");
}

// The archive is the same whatever machine packs it: these checksums were taken on one
// machine and hold on every other, little- or big-endian.
TEST(PackedArchive, SameBytesOnEveryMachine) {
    std::string textData;
    for (int i = 0; i < 2000; ++i) textData += "entry " + std::to_string(i * 7919 % 1009) + "\n";
    Bytes gz = gzipCompress(bytesOf(textData));
    EXPECT_EQ(gz.size(), 3570u);
    EXPECT_EQ(calcCrc32(0, gz.data(), gz.size()), 0xD2A8ED9Du);
    std::string error;
    auto tar = tarArchive({{"update.d/", true, false, {}},
                           {"update.d/updatetodo.txt", false, false, bytesOf("PPCBOOT\n")}},
                          &error);
    ASSERT_TRUE(tar);
    EXPECT_EQ(calcCrc32(0, tar->data(), tar->size()), 0x027718DAu);
}

}  // namespace
}  // namespace mkupdate
