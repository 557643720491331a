#include "tools/rehearse/board_deal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace rehearse {
namespace {

const std::string kFleet = "/tmp/deal";

void writeBoard(const std::string& name, const std::string& serial, const std::string& address) {
    std::filesystem::create_directories(kFleet + "/" + name + "/etc");
    std::ofstream(kFleet + "/" + name + "/etc/data.txt") << "SERIALNO=" << serial << "\r\n";
    std::ofstream(kFleet + "/" + name + "/module.psr") << "&0001 = " << address << "\n";
}

std::string dealt(const std::vector<DealtBoard>& boards) {
    std::string text;
    for (const DealtBoard& b : boards)
        text += std::to_string(b.position) + " " + b.name + " " +
                (b.standIn.empty() ? "-" : b.standIn) + "\n";
    return text;
}

// Twins go with the first of them, the distinct boards in turn to the parts; the address counts
// only when an image's keys name it.
TEST(BoardDeal, DealsTwinsWithTheFirstAndTheDistinctBoardsInTurn) {
    std::filesystem::remove_all(kFleet);
    writeBoard("a", "1", "0001");
    writeBoard("b", "2", "0002");
    writeBoard("c", "3", "0003 0004");
    writeBoard("d", "4", "0005 0006");
    DealRequest request{{kFleet + "/a", kFleet + "/b", kFleet + "/c", kFleet + "/d/"},
                        {ImageReach{true, {"&0003"}}},
                        {},
                        "/tmp/deal-runs"};
    std::vector<DealtBoard> boards;
    std::string error;
    ASSERT_TRUE(dealBoards(request, &boards, &error)) << error;
    EXPECT_EQ(dealt(boards), "1 a -\n2 b a\n3 c -\n4 d c\n");
    request.shard = {2, 2, 4};
    boards.clear();
    ASSERT_TRUE(dealBoards(request, &boards, &error)) << error;
    EXPECT_EQ(dealt(boards), "3 c -\n4 d c\n");
    request.shard = {1, 1, 4};
    request.images = {ImageReach{true, {"&0001"}}};
    boards.clear();
    ASSERT_TRUE(dealBoards(request, &boards, &error)) << error;
    EXPECT_EQ(dealt(boards), "1 a -\n2 b -\n3 c -\n4 d -\n");
}

TEST(BoardDeal, RefusesWhatARehearsalCantTell) {
    std::filesystem::remove_all(kFleet);
    writeBoard("a", "1", "0001");
    writeBoard("compared", "2", "0002");
    std::filesystem::create_directories(kFleet + "/other/a");
    std::ofstream(kFleet + "/file") << "x\n";
    const std::vector<std::pair<DealRequest, std::string>> cases = {
        {{{kFleet + "/a", kFleet + "/other/a"}, {}, {}, "/tmp/deal-runs"}, "two boards named a"},
        {{{kFleet + "/compared"}, {ImageReach{}, ImageReach{}}, {}, ""}, "a board named compared"},
        {{{kFleet + "/a"}, {}, {}, kFleet + "/a/runs"},
         "--out /tmp/deal/a/runs lies in the board folder /tmp/deal/a"},
        {{{kFleet + "/a"}, {}, {}, kFleet}, "--out /tmp/deal holds the board folder /tmp/deal/a"},
        {{{kFleet + "/file"}, {}, {}, "/tmp/deal-runs"}, "no board folder /tmp/deal/file"},
        {{{kFleet + "/a"}, {}, {2, 2, 1}, ""}, "part 2/2 of these boards holds none"},
    };
    for (const auto& [request, message] : cases) {
        std::vector<DealtBoard> boards;
        std::string error;
        EXPECT_FALSE(dealBoards(request, &boards, &error)) << message;
        EXPECT_EQ(error, message);
    }
}

}  // namespace
}  // namespace rehearse
