// A fleet's plan from boards' facts: the groups, the comparison of two images, the JSON that a
// pipeline keeps and the exit status that tells it how the rehearsal went.
#include "tools/rehearse/plan.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace {

BoardFacts okBoard(const std::string& name, double seconds) {
    BoardFacts board;
    board.name = name;
    board.folder = "/fleet/" + name;
    RunFacts& run = ownRun(board);
    run.outcome = Outcome::Ok;
    run.keys = {{"&0021", "0004", "0006", KeySource::Image},
                {"&01a6", "0001", "0000", KeySource::Preset}};
    run.firmwareBefore = "1958 16.4.0";
    run.firmwareAfter = "2114 17.3.5";
    run.flash = {4, 100000, "0x020000-0x05ffff"};
    run.steps = {{"Image check", "OK", {}, 0, 0, 0.2, 0, 0.2},
                 {"Update qvl Software", "OK", {}, 0.2, 0, 0.1, 3.7, 3.8}};
    run.duration = seconds;
    return board;
}

BoardFacts refusingBoard(const std::string& name) {
    BoardFacts board = okBoard(name, 44);
    RunFacts& run = ownRun(board);
    run.outcome = Outcome::Nok;
    run.keys.erase(run.keys.begin());
    run.steps.insert(
        run.steps.begin() + 1,
        {"Write diff. PS-Keys", "NOK", {"BCCMD set of PS-Key 0x0021 refused: status 0x0008"}});
    run.steps.push_back({"Check SDP records", kNotRun, {}});
    return board;
}

Plan fleetPlan() {
    Plan plan;
    plan.image = {"new.img", std::string(64, 'a'), "unsigned"};
    plan.boards = {okBoard("a", 41.2), refusingBoard("r"), okBoard("b", 45.04)};
    // A board of its own: one of its records lost, and a byte of its /etc that is not UTF-8.
    BoardFacts own = okBoard("own", 43);
    ownRun(own).etc = {{"service.txt", false, "10008;Caf\xe9 printer;12", true}};
    plan.boards.push_back(own);
    plan.groups = groupBoards(plan.boards);
    return plan;
}

// The failures first, each group named for what the update does, its detail from all its
// boards: where their seeding differs, the range of their durations.
TEST(Plan, GroupsTheBoardsThatTheImageTreatsAlike) {
    Plan plan = fleetPlan();
    plan.boards[0].assumed = {"flash contents: erased", "flash size: 2097152"};
    plan.boards[2].assumed = {"flash contents: erased"};
    plan.boards[2].flashSize = 4194304;
    plan.boards[2].notes = {"etc/data.txt: LF line ends"};
    plan.groups = groupBoards(plan.boards);
    std::vector<std::string> summaries;
    for (const BoardGroup& group : plan.groups)
        summaries.push_back(groupSummary(plan.boards, group));
    EXPECT_EQ(summaries,
              (std::vector<std::string>{
                  "NOK at Write diff. PS-Keys (1 board); 0 keys (and 1 presets), firmware 2114 "
                  "17.3.5, 4 sectors, 0 /etc lines; Write diff. PS-Keys: NOK (BCCMD set of PS-Key "
                  "0x0021 refused: status 0x0008), 44.0 s",
                  "OK: firmware, PS-Keys, software (2 boards); 1 keys (and 1 presets), firmware "
                  "2114 17.3.5, 4 sectors, 0 /etc lines, 41.2-45.0 s",
                  "OK: firmware, PS-Keys, software (1 board); 1 keys (and 1 presets), firmware "
                  "2114 17.3.5, 4 sectors, 1 /etc lines, loses 1 own record, 43.0 s"}));
    EXPECT_EQ(plan.groups[1].members, (std::vector<std::size_t>{0, 2}));
    const std::string text = groupText(plan, plan.groups[1]);
    EXPECT_TRUE(
        text.starts_with("boards: a b\n"
                         "assumed flash contents: erased\n"
                         "where the boards differ:\n"
                         "  assumed flash size: 2097152 (1 of 2 boards: a)\n"
                         "  flash size: 4194304 (1 of 2 boards: b)\n"
                         "  note etc/data.txt: LF line ends (1 of 2 boards: b)\n"
                         "outcome: OK\n"))
        << text;
    EXPECT_NE(text.find("predicted: 41.2-45.0 s\n"), std::string::npos) << text;
    ownRun(plan.boards[0]).versions = {{"Parlo Firmware", "2200", "2114 means 17.3.5", true, true}};
    EXPECT_EQ(groupName(plan.boards, plan.groups[1]), "OK: firmware (older), PS-Keys, software");
}

TEST(Plan, TextShowsPresetsApartAndStepsNotRun) {
    const std::string text = boardText(refusingBoard("r"), false);
    EXPECT_NE(text.find("outcome: NOK\n"
                        "  Write diff. PS-Keys failed:\n"
                        "    BCCMD set of PS-Key 0x0021 refused: status 0x0008\n"
                        "PS-Keys changed: 0\n"
                        "PS-Keys the daemon sets by itself (presets): 1\n"
                        "  &01a6  0001 -> 0000\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  Check SDP records           -      -      -       -  not run\n"),
              std::string::npos)
        << text;
}

TEST(Plan, ExitStatusTellsTheWorstOutcome) {
    Plan plan = fleetPlan();
    EXPECT_EQ(planStatus(plan), 1);
    ownRun(plan.boards[1]).outcome = Outcome::NoFinalNotice;
    EXPECT_EQ(planStatus(plan), 3);
    ownRun(plan.boards[0]).outcome = Outcome::Seeding;
    EXPECT_EQ(planStatus(plan), 2);
    plan.boards = {okBoard("a", 1)};
    EXPECT_EQ(planStatus(plan), 0);
}

// Whatever bytes a board's files hold, the JSON is valid UTF-8 and carries its format's version,
// the producer's, the image's hash and each step's reasons.
TEST(Plan, JsonIsVersionedValidUtf8) {
    const std::string text = planJson(fleetPlan(), "1.2.3");
    nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_EQ(json["format"], "btlap-rehearsal");
    EXPECT_EQ(json["format_version"], kPlanFormatVersion);
    EXPECT_EQ(json["producer"]["version"], "1.2.3");
    EXPECT_EQ(json["image"]["sha256"], std::string(64, 'a'));
    EXPECT_EQ(json["image"]["signer"], "unsigned");
    EXPECT_EQ(json["exit_status"], 1);
    EXPECT_EQ(json["groups"][0]["name"], "NOK at Write diff. PS-Keys");
    EXPECT_EQ(json["boards"][1]["steps"][1]["reasons"][0],
              "BCCMD set of PS-Key 0x0021 refused: status 0x0008");
    EXPECT_EQ(json["boards"][1]["steps"][3].contains("seconds"), false);
    EXPECT_EQ(json["boards"][3]["etc_changed"][0]["change"], "lost");
    EXPECT_EQ(json["boards"][3]["etc_changed"][0]["line"], "10008;Caf\xef\xbf\xbd printer;12");
    EXPECT_EQ(json["boards"][0]["pskeys_changed"][1]["by"], "preset");
}

// The page to decide on: the verdict before all else, the failed group's row first, each byte
// of a board's file that isn't UTF-8 replaced. A chart spans its own steps' time, but a second
// at least, and a step too short to see still shows.
TEST(Plan, PageShowsTheVerdictFirstInValidUtf8) {
    Plan plan = fleetPlan();
    plan.comparison = Comparison{{"old.img", "", ""},
                                 {},
                                 {{{"r"}, {"&0021: 0004 -> 0006", "outcome: OK -> NOK"}},
                                  {{"a", "b"}, {"/etc now: service.txt -10004;Network"}}}};
    const std::string page = planPage(plan);
    const std::size_t verdict = page.find("<p class=\"big\">3 of 4 boards ended OK</p>");
    EXPECT_LT(verdict, page.find("<h2>Groups</h2>"));
    EXPECT_LT(verdict, page.find("exit status 1: a board ended NOK"));
    EXPECT_LT(page.find("<th>signature</th><td>unsigned</td>"), page.find("<h2>Groups</h2>"));
    EXPECT_LT(page.find("<td class=\"what\">NOK at Write diff. PS-Keys</td>"),
              page.find("<td class=\"what\">OK: firmware, PS-Keys, software</td>"));
    EXPECT_NE(page.find("Caf\xef\xbf\xbd printer"), std::string::npos);
    EXPECT_NO_THROW(nlohmann::json(page).dump());  // which throws on a byte that isn't UTF-8
    // Side by side, a changed outcome first and set apart.
    EXPECT_NE(page.find("<tr class=\"outcome\"><td rowspan=\"2\" class=\"names\"><span "
                        "class=\"count\">1 board:</span> <span class=\"name\">r</span></td>"
                        "<td>outcome</td><td class=\"old\">OK</td><td class=\"new\">NOK</td></tr>"),
              std::string::npos)
        << page;
    // A line of /etc that only one image's run removed: the line beside what each run did.
    EXPECT_NE(page.find("<td>/etc/service.txt: 10004;Network</td><td class=\"old\">kept</td>"
                        "<td class=\"new\">removed</td>"),
              std::string::npos)
        << page;
    // The boards in their names' order: a board's place is its name's sort key.
    EXPECT_NE(page.find("<td class=\"name\" data-key=\"1\">r</td>"), std::string::npos) << page;

    BoardFacts quick = okBoard("quick", 0.011);
    ownRun(quick).steps = {{"Image check", "NOK", {}, 0, 0, 0.01, 0, 0.01},
                           {"Version Check", "OK", {}, 0.01, 0, 0, 0.001, 0.001}};
    std::string svg = timelineSvg(quick, "quick", false);
    EXPECT_NE(svg.find("<rect x=\"190.0\" y=\"56\" width=\"6.4\""), std::string::npos) << svg;
    EXPECT_NE(svg.find("<rect x=\"196.4\" y=\"78\" width=\"2.0\""), std::string::npos) << svg;
    EXPECT_NE(svg.find(">1 s</text>"), std::string::npos) << svg;
    svg = timelineSvg(okBoard("a", 40), "a", false);
    EXPECT_NE(svg.find("width=\"59.2\" height=\"14\" fill=\"#e8890c\""), std::string::npos)
        << svg;  // 3.7 s of 40
    EXPECT_NE(svg.find(">40 s</text>"), std::string::npos) << svg;
}

TEST(Plan, ComparisonNamesTheBoardsAndKeysThatDiffer) {
    std::vector<BoardFacts> old = {okBoard("a", 40), okBoard("b", 40), refusingBoard("r")};
    std::vector<BoardFacts> now = old;
    for (BoardFacts* board : {&now[0], &now[1]}) {
        RunFacts& run = ownRun(*board);
        run.keys[0].after = "0007";
        run.firmwareAfter = "2200 18.0.0";
    }
    ownRun(now[2]).keys.push_back({"&0300", std::nullopt, "0001", KeySource::Image});
    std::vector<DifferenceGroup> groups = compareFleets(old, now);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].boards, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(groups[0].differences,
              (std::vector<std::string>{"&0021: 0006 -> 0007",
                                        "firmware after: 2114 17.3.5 -> 2200 18.0.0"}));
    EXPECT_EQ(groups[1].boards, std::vector<std::string>{"r"});
    EXPECT_EQ(groups[1].differences, std::vector<std::string>{"&0300: (none) -> 0001"});
    EXPECT_TRUE(compareFleets(old, old).back().differences.empty());
}

// The flash's work said as the board's detail says it, "nothing written" for none, never a
// count of no sectors beside an empty range.
TEST(Plan, ComparisonSaysWhatTheFlashGotFromEachImage) {
    BoardFacts old = okBoard("a", 40), now = okBoard("a", 40);
    ownRun(old).flash = {};
    EXPECT_EQ(boardDifferences(old, now),
              std::vector<std::string>{"flash: nothing written -> 4 sectors erased, 100000 words "
                                       "programmed (0x020000-0x05ffff)"});
    ownRun(old).flash = {1, 1, "0x020000-0x02ffff"};
    EXPECT_EQ(boardDifferences(old, now),
              std::vector<std::string>{"flash: 1 sector erased, 1 word programmed "
                                       "(0x020000-0x02ffff) -> 4 sectors erased, 100000 words "
                                       "programmed (0x020000-0x05ffff)"});
}

}  // namespace
