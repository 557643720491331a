#include "tools/common/archive_listing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bytes.h"
#include "tools/common/gzip_writer.h"
#include "tools/common/tar_archive.h"

namespace mkupdate {
namespace {

Bytes packed(const std::vector<TarMember>& members) {
    std::string error;
    return gzipCompress(*tarArchive(members, &error));
}

// A hand-made update: the to-do list as the daemon selects its steps (prefix match, comments,
// at most 20), VERSION as the version check reads it (the line's last character dropped).
TEST(ListUpdateArchive, ShowsTheStepsAndVersionsAsTheDaemonReadsThem) {
    std::string todo = "# c\nCHECK_SDP and a remark\n CHECK_SDP\nLAP_SOFTWAR\n\n";
    for (int i = 0; i < 20; ++i) todo += "PPCBOOT\n";
    ArchiveListing listing = listUpdateArchive(
        packed({{"./update.d/", true, false, {}},
                {"./update.d/updatetodo.txt", false, false, bytesOf(todo)},
                {"./update.d/VERSION", false, false, bytesOf("LAP_VERSION=2.1\nCSRMODULINFO=")},
                {"./update.d/dfu", false, true, bytesOf("#!")}}));
    EXPECT_EQ(listing.failure, "");
    std::string steps;
    for (int i = 2; i <= 20; ++i)
        steps += "  step " + std::to_string(i) + std::string(i < 10 ? 5 : 4, ' ') + "PPCBOOT\n";
    EXPECT_EQ(listing.text,
              "archive      gzip of a tar archive of 10240 bytes, 4 members\n"
              "  drwxr-xr-x         0 \"./update.d/\"\n"
              "  -rw-r--r--       211 \"./update.d/updatetodo.txt\"\n"
              "  -rw-r--r--        29 \"./update.d/VERSION\"\n"
              "  -rwxr-xr-x         2 \"./update.d/dfu\"\n"
              "to-do list   20 steps\n"
              "  step 1     CHECK_SDP\n" +
                  steps + "  dropped    line 25 PPCBOOT (more than 20 steps)\n" +
                  "  ignored    line 3 \" CHECK_SDP\"\n"
                  "  ignored    line 4 \"LAP_SOFTWAR\"\n"
                  "versions\n"
                  "  BTFIRMWARE    not found\n"
                  "  CSRMODULINFO  \"\"\n"
                  "  LAP_VERSION   \"2.1\"\n");

    listing = listUpdateArchive(packed({{"update.d/", true, false, {}}}));
    EXPECT_NE(listing.text.find("to-do list   none (no update.d/updatetodo.txt)\n"
                                "versions     none (no update.d/VERSION)\n"),
              std::string::npos)
        << listing.text;
    listing = listUpdateArchive(bytesOf("not an archive"));
    EXPECT_EQ(listing.failure, "update archive: not gzip data");
    EXPECT_EQ(listing.text, "archive      BAD: not gzip data\n");
}

}  // namespace
}  // namespace mkupdate
