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
#include "tools/mkupdate/gzip_writer.h"

namespace mkupdate {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Compressed data as the board's gunzip restores it: empty, long runs, noise, and repeats at
// distances up to and beyond the 32 KiB window.
TEST(GzipCompress, PlatformGunzipRestoresEveryKindOfData) {
    Bytes noise(70000), repeats;
    std::uint32_t seed = 5;
    for (auto& byte : noise)
        byte = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
    for (long length : {3, 258, 259, 32768, 40000})
        for (int twice = 0; twice < 2; ++twice)
            std::copy_n(noise.begin(), length, std::back_inserter(repeats));
    for (const Bytes& data : {Bytes{}, Bytes(100000, 0), noise, repeats}) {
        writeWholeFile("/tmp/data.gz", gzipCompress(data));
        ASSERT_EQ(std::system("gunzip -c /tmp/data.gz > /tmp/data"), 0) << data.size();
        ASSERT_EQ(readWholeFile("/tmp/data"), std::string(data.begin(), data.end()));
    }
    EXPECT_LT(gzipCompress(Bytes(100000, 0)).size(), 1000u) << "runs are compressed";
}

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
    // The same bytes on every machine, whatever its byte order and the order in which the
    // folder lists its entries, time stamps and modes other than executable.
    EXPECT_EQ(packed.size(), 317u);
    EXPECT_EQ(calcCrc32(0, packed.data(), packed.size()), 0x008E6F94u);
    std::filesystem::last_write_time("/tmp/src/folder/B", std::filesystem::file_time_type{});
    chmod("/tmp/src/folder/updatetodo.txt", 0600);
    EXPECT_EQ(packUpdateFolder("/tmp/src/folder", &error), packed);
}

}  // namespace
}  // namespace mkupdate
