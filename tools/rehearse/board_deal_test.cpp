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
                        "/tmp/deal-runs",
                        {}};
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
        {{{kFleet + "/a", kFleet + "/other/a"}, {}, {}, "/tmp/deal-runs", {}},
         "two boards named a"},
        {{{kFleet + "/compared"}, {ImageReach{}, ImageReach{}}, {}, "", {}},
         "a board named compared"},
        {{{kFleet + "/a"}, {}, {}, kFleet + "/a/runs", {}},
         "--out /tmp/deal/a/runs lies in the board folder /tmp/deal/a"},
        {{{kFleet + "/a"}, {}, {}, kFleet, {}},
         "--out /tmp/deal holds the board folder /tmp/deal/a"},
        {{{kFleet + "/a"}, {}, {}, kFleet + "/other/runs", {kFleet + "/other/"}},
         "--out /tmp/deal/other/runs lies in the fleet folder /tmp/deal/other"},
        {{{kFleet + "/file"}, {}, {}, "/tmp/deal-runs", {}}, "no board folder /tmp/deal/file"},
        {{{kFleet + "/a"}, {}, {2, 2, 1}, "", {}}, "part 2/2 of these boards holds none"},
    };
    for (const auto& [request, message] : cases) {
        std::vector<DealtBoard> boards;
        std::string error;
        EXPECT_FALSE(dealBoards(request, &boards, &error)) << message;
        EXPECT_EQ(error, message);
    }
}

// A fleet's boards are its folders that hold a board's piece, in their names' byte order; a
// rehearsal's runs in it, a hidden folder or a file are none.
TEST(BoardDeal, ListsTheFleetsBoards) {
    std::filesystem::remove_all(kFleet);
    writeBoard("b10", "1", "0001");
    writeBoard("b9", "2", "0002");
    std::filesystem::create_directories(kFleet + "/flash-only");
    std::ofstream(kFleet + "/flash-only/flash.bin") << "x";
    std::filesystem::create_directories(kFleet + "/out/b9");
    std::filesystem::create_directories(kFleet + "/.hidden/etc");
    std::ofstream(kFleet + "/module.psr") << "&0001 = 0001\n";
    std::vector<std::string> folders{"/first"};
    std::string error;
    ASSERT_TRUE(fleetBoards(kFleet + "/", &folders, &error)) << error;
    EXPECT_EQ(folders, (std::vector<std::string>{"/first", kFleet + "/b10", kFleet + "/b9",
                                                 kFleet + "/flash-only"}));
    EXPECT_FALSE(fleetBoards(kFleet + "/out", &folders, &error));
    EXPECT_EQ(error, "no board folder in /tmp/deal/out");
    EXPECT_FALSE(fleetBoards(kFleet + "/none", &folders, &error));
    EXPECT_EQ(error, "no fleet folder /tmp/deal/none");
}

// The folder of runs is made, and taken again when it holds only rehearsals' runs, pages and
// JSON; anything else in it is refused, named, and left as it was.
TEST(BoardDeal, MakesTheRunsFolderOnlyOfRehearsalsRuns) {
    const std::string runs = "/tmp/deal-runs";
    std::filesystem::remove_all(runs);
    std::filesystem::remove_all("/tmp/deal-link");
    std::string error;
    ASSERT_TRUE(makeRunsFolder(runs, &error)) << error;
    for (const char* entry : {"a/state", "a/tmp", "b", "compared/a/before"})
        std::filesystem::create_directories(runs + "/" + entry);
    std::ofstream(runs + "/a/outcome") << "OK\n";
    std::ofstream(runs + "/b/twin-of") << "a\n";
    std::ofstream(runs + "/plan.html") << "<html>";
    std::ofstream(runs + "/plan.json") << "{}";
    EXPECT_TRUE(makeRunsFolder(runs, &error)) << error;
    std::ofstream(runs + "/compared/a/notes.txt") << "mine";
    EXPECT_FALSE(makeRunsFolder(runs, &error));
    EXPECT_EQ(error,
              "--out holds /tmp/deal-runs/compared/a, which is no rehearsal's run: "
              "choose another folder");
    std::filesystem::remove(runs + "/compared/a/notes.txt");
    std::filesystem::create_directories(runs + "/board/etc");
    EXPECT_FALSE(makeRunsFolder(runs, &error));
    EXPECT_EQ(error,
              "--out /tmp/deal-runs holds /tmp/deal-runs/board, which is no rehearsal's "
              "run: choose another folder");
    EXPECT_TRUE(std::filesystem::exists(runs + "/board/etc"));
    std::filesystem::create_directory_symlink(runs, "/tmp/deal-link");
    EXPECT_FALSE(makeRunsFolder("/tmp/deal-link", &error));
    EXPECT_EQ(error, "--out /tmp/deal-link is a link: name the folder itself");
    EXPECT_FALSE(makeRunsFolder(runs + "/plan.html", &error));
    EXPECT_EQ(error, "--out /tmp/deal-runs/plan.html is not a folder");
}

// A twin's run, in each folder of runs, holds only twin-of, whatever it held before.
TEST(BoardDeal, WritesTheTwinsRuns) {
    const std::string runs = "/tmp/deal-runs";
    std::filesystem::remove_all(runs);
    std::filesystem::create_directories(runs + "/b/state");
    std::string error;
    ASSERT_TRUE(writeTwinRuns({{1, "a", "", "/a"}, {2, "b", "a", "/b"}}, {runs, runs + "/compared"},
                              &error))
        << error;
    EXPECT_FALSE(std::filesystem::exists(runs + "/a"));
    EXPECT_FALSE(std::filesystem::exists(runs + "/b/state"));
    for (const std::string& run : {runs + "/b", runs + "/compared/b"}) {
        std::ifstream twinOf(run + "/twin-of");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(twinOf), {}), "a\n") << run;
    }
}

}  // namespace
}  // namespace rehearse
