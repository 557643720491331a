#include "tools/mkupdate/update_archive.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>

#include "image/image_header.h"
#include "tests/support/board.h"
#include "tools/common/gzip_reader.h"

namespace mkupdate {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PackUpdateFolder, PacksReproduciblyAndThePlatformUnpacksIt) {
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
    EXPECT_EQ(readWholeFile("/tmp/out/update.d/sub/stack.dfu"), std::string(3000, 's'));
    struct stat info {};
    ASSERT_EQ(stat("/tmp/out/update.d/dfu", &info), 0);
    EXPECT_NE(info.st_mode & S_IXUSR, 0u) << "the DFU program stays executable";
    // The same tar on every machine, whatever its byte order and the order in which the
    // folder lists its entries, time stamps and modes other than executable; packed, it comes
    // back whole.
    Bytes tar = *tarArchive(*collectUpdateFolder("/tmp/src/folder", &error), &error);
    EXPECT_EQ(tar.size(), 10240u);
    EXPECT_EQ(calcCrc32(0, tar.data(), tar.size()), 0x0FA9C07Bu);
    EXPECT_EQ(gzipDecompress(packed, 1 << 20, &error), tar);
    std::filesystem::last_write_time("/tmp/src/folder/B", std::filesystem::file_time_type{});
    chmod("/tmp/src/folder/updatetodo.txt", 0600);
    EXPECT_EQ(packUpdateFolder("/tmp/src/folder", &error), packed);
}

// What the tool and the platform's tar write, read back: names long enough for the prefix, a
// GNU long name and a pax path; types, modes and contents.
TEST(ReadTarArchive, ReadsTheToolsAndThePlatformsArchives) {
    const std::string deep = "update.d/" + std::string(60, 'd') + "/" + std::string(90, 'f');
    std::string error;
    Bytes own = *tarArchive({{"update.d/", true, false, {}},
                             {"update.d/dfu", false, true, {'#', '!'}},
                             {deep, false, false, Bytes(600, 'x')}},
                            &error);
    std::filesystem::create_directories("/tmp/t/update.d/" + std::string(120, 'n'));
    writeWholeFile("/tmp/t/update.d/" + std::string(120, 'n') + "/VERSION", "LAP_VERSION=1\n");
    chmod(("/tmp/t/update.d/" + std::string(120, 'n')).c_str(), 0750);
    for (const char* format : {"gnu", "posix"}) {
        std::string command = std::string("cd /tmp/t && tar --format=") + format +
                              " --sort=name -cf /tmp/t.tar update.d";
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::string made = readWholeFile("/tmp/t.tar");
        auto entries = readTarArchive(Bytes(made.begin(), made.end()), &error);
        ASSERT_TRUE(entries) << error;
        std::string listing;
        for (const ArchiveEntry& e : *entries)
            listing += e.type + std::to_string(e.mode) + " " + std::to_string(e.name.size()) + " " +
                       std::string(e.content.begin(), e.content.end()) + ";";
        EXPECT_EQ(listing, "5493 9 ;5488 130 ;0420 137 LAP_VERSION=1\n;") << format;
    }
    auto entries = readTarArchive(own, &error);
    ASSERT_TRUE(entries) << error;
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[1].mode, 0755u);
    EXPECT_EQ((*entries)[1].content, Bytes({'#', '!'}));
    EXPECT_EQ((*entries)[2].name, deep);
    EXPECT_EQ((*entries)[2].content, Bytes(600, 'x'));

    own[512 + 100] ^= 1;  // the mode of the second header
    EXPECT_FALSE(readTarArchive(own, &error));
    EXPECT_EQ(error, "tar header at offset 512: bad checksum");
    own[512 + 100] ^= 1;
    EXPECT_FALSE(readTarArchive(std::span(own).first(4 * 512 + 100), &error));
    EXPECT_EQ(error, "tar entry \"" + deep + "\" cut short");
    EXPECT_FALSE(readTarArchive(std::span(own).first(3 * 512 + 100), &error));
    EXPECT_EQ(error, "tar header at offset 1536 cut short");
}

}  // namespace
}  // namespace mkupdate
