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
std::string field(const Bytes& bytes, std::size_t at, std::size_t length) {
    return std::string(bytes.begin() + static_cast<long>(at),
                       bytes.begin() + static_cast<long>(at + length));
}

// Decompressed by the platform's gunzip, as the board does it.
std::string gunzipped(const Bytes& compressed) {
    writeWholeFile("/tmp/data.gz", compressed);
    EXPECT_EQ(std::system("gunzip -c /tmp/data.gz > /tmp/data 2>/tmp/gunzip.err"), 0)
        << readWholeFile("/tmp/gunzip.err");
    return readWholeFile("/tmp/data");
}

TEST(GzipCompress, PlatformGunzipRestoresEveryKindOfData) {
    Bytes noise(70000);
    std::uint32_t seed = 5;
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    // Repeats at distances up to and beyond the 32 KiB window.
    Bytes repeats;
    for (long length : {3, 4, 10, 258, 259, 5000, 32767, 32768, 40000}) {
        for (int twice = 0; twice < 2; ++twice)
            repeats.insert(repeats.end(), noise.begin(), noise.begin() + length);
    }
    std::string text;
    for (int i = 0; i < 3000; ++i) text += "line " + std::to_string(i * 37 % 101) + " of text\n";
    for (const Bytes& data :
         {Bytes{}, bytesOf("a"), Bytes(100000, 0), noise, repeats, bytesOf(text)}) {
        ASSERT_EQ(gunzipped(gzipCompress(data)), field(data, 0, data.size())) << data.size();
    }
    EXPECT_LT(gzipCompress(bytesOf(text)).size(), text.size() / 4);
}

// Platform tar checks the rest of a member's header when it unpacks (below); the field here
// is the one only long names use.
TEST(TarArchive, LongNamesUseThePrefixFieldOrAreRefused) {
    std::string error;
    std::string folder = "update.d/" + std::string(120, 'f');
    Bytes longName = *tarArchive({{folder + "/file", false, false, bytesOf("x")}}, &error);
    EXPECT_EQ(longName.size(), 10240u) << "whole records";
    EXPECT_EQ(field(longName, 0, 5), std::string("file\0", 5));
    EXPECT_EQ(field(longName, 345, folder.size() + 1), folder + '\0');
    EXPECT_FALSE(tarArchive({{"update.d/" + std::string(101, 'n'), false, false, {}}}, &error));
    EXPECT_EQ(error, "name \"update.d/" + std::string(101, 'n') + "\" doesn't fit a tar header");
}

TEST(PackUpdateFolder, PacksSortedReproduciblyAndThePlatformUnpacksIt) {
    std::filesystem::create_directories("/tmp/src/folder/sub");
    writeWholeFile("/tmp/src/folder/updatetodo.txt", "PPCBOOT\n");
    writeWholeFile("/tmp/src/folder/dfu", "#!/bin/sh\necho dfu\n");
    chmod("/tmp/src/folder/dfu", 0700);
    writeWholeFile("/tmp/src/folder/sub/stack.dfu", std::string(3000, 's'));
    writeWholeFile("/tmp/src/folder/B", "upper case sorts first\n");
    std::string error;
    Bytes packed = *packUpdateFolder("/tmp/src/folder", &error);
    writeWholeFile("/tmp/archive.gz", packed);
    std::filesystem::create_directories("/tmp/out");
    ASSERT_EQ(std::system("cd /tmp/out && gunzip -c /tmp/archive.gz | tar xf -"), 0);
    EXPECT_EQ(readWholeFile("/tmp/out/update.d/updatetodo.txt"), "PPCBOOT\n");
    EXPECT_EQ(readWholeFile("/tmp/out/update.d/sub/stack.dfu"), std::string(3000, 's'));
    struct stat info {};
    ASSERT_EQ(stat("/tmp/out/update.d/dfu", &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u) << "the DFU program stays executable";
    // The same bytes on every machine, little- or big-endian, whatever the order in which
    // the folder lists its entries (taken on one machine).
    EXPECT_EQ(packed.size(), 317u);
    EXPECT_EQ(calcCrc32(0, packed.data(), packed.size()), 0x008E6F94u);
    // Times and modes other than executable don't change the archive.
    std::filesystem::last_write_time("/tmp/src/folder/B", std::filesystem::file_time_type{});
    chmod("/tmp/src/folder/updatetodo.txt", 0600);
    chmod("/tmp/src/folder/dfu", 0755);
    EXPECT_EQ(packUpdateFolder("/tmp/src/folder", &error), packed);

    ASSERT_EQ(mkfifo("/tmp/src/folder/pipe", 0600), 0);
    EXPECT_FALSE(packUpdateFolder("/tmp/src/folder", &error));
    EXPECT_EQ(error, "/tmp/src/folder/pipe is neither a file nor a folder");
    EXPECT_FALSE(packUpdateFolder("/tmp/src/none", &error));
    EXPECT_EQ(error, "/tmp/src/none is not a folder");
}

}  // namespace
}  // namespace mkupdate
