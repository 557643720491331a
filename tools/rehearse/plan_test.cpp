// A fleet's plan from boards' facts: the groups, the comparison of two images, the JSON that a
// pipeline keeps and the exit status that tells it how the rehearsal went.
#include "tools/rehearse/plan.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>

#include "tools/rehearse/plan_merge.h"

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

// A board's run in the plan's JSON: each run once, the boards referring to it.
const nlohmann::json& runJson(const nlohmann::json& plan, std::size_t board) {
    return plan["runs"][plan["boards"][board]["run"].get<std::size_t>() - 1];
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
    EXPECT_EQ(runJson(json, 1)["steps"][1]["reasons"][0],
              "BCCMD set of PS-Key 0x0021 refused: status 0x0008");
    EXPECT_EQ(runJson(json, 1)["steps"][3].contains("seconds"), false);
    EXPECT_EQ(runJson(json, 3)["etc_changed"][0]["change"], "lost");
    EXPECT_EQ(runJson(json, 3)["etc_changed"][0]["line"], "10008;Caf\xef\xbf\xbd printer;12");
    EXPECT_EQ(runJson(json, 0)["pskeys_changed"][1]["by"], "preset");
    // Each run once: the boards that share one refer to it.
    EXPECT_EQ(json["runs"].size(), 4u);
    EXPECT_EQ(json["boards"][1]["run"], 2);
    EXPECT_EQ(json["boards"][1].contains("steps"), false);
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
    // The boards in their names' order: a board's place is its name's sort key. Its row in the
    // list that the script draws: name, group, run, place, flash size, and the texts (each
    // once) of what was assumed and of its notes.
    EXPECT_NE(page.find("\n[\"r\",1,1,1,\"-\",0,0]"), std::string::npos) << page;

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

const std::string kMakersId(32, 'a');
const std::string kOtherId(32, 'b');

// A board of an unsigned image: keyless and taken unchecked, or with a key and refused.
BoardFacts unsignedImageBoard(const std::string& name, bool keyed) {
    BoardFacts board = keyed ? refusingBoard(name) : okBoard(name, 40);
    TrustFacts& trust = ownRun(board).trust;
    if (keyed) {
        trust.keyFolderBefore = trust.keyFolderAfter = true;
        trust.keysBefore = trust.keysAfter = {{"other.key", kOtherId, "release"}};
        trust.verdict = "refused: no signature";
    } else {
        trust.verdict = "not checked (no update key installed)";
    }
    return board;
}

// An image that enrols the makers' key and raises the security version is no "alike" to an
// unsigned one on any board: each keyless board now trusts a key, and the keyed board refuses
// it for another reason; in text, JSON and page.
TEST(Plan, ComparisonSeesWhomEachBoardTrusts) {
    std::vector<BoardFacts> old = {unsignedImageBoard("a", false), unsignedImageBoard("b", false),
                                   unsignedImageBoard("k", true)};
    std::vector<BoardFacts> now = old;
    for (BoardFacts* board : {&now[0], &now[1]}) {
        TrustFacts& trust = ownRun(*board).trust;
        trust.keyFolderAfter = true;
        trust.keysAfter = {{"makers.key", kMakersId, "release"}};
        trust.securityAfter = 2;
    }
    TrustFacts& refused = ownRun(now[2]).trust;
    refused.verdict = "refused: signed by unknown key " + kMakersId;
    Plan plan;
    plan.image = {"new.img", std::string(64, 'a'),
                  "key " + kMakersId + ", format 2, security version 2"};
    plan.boards = now;
    plan.groups = groupBoards(plan.boards);
    plan.comparison = Comparison{{"old.img", "", "unsigned"}, old, compareFleets(old, now)};
    const std::vector<DifferenceGroup>& groups = plan.comparison->groups;
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].boards, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(groups[0].differences,
              (std::vector<std::string>{"update keys after: none (no key folder) -> makers.key " +
                                            kMakersId + " (release)",
                                        "security version after: 0 -> 2"}));
    EXPECT_EQ(groups[1].boards, std::vector<std::string>{"k"});
    EXPECT_EQ(groups[1].differences,
              std::vector<std::string>{"signature: refused: no signature -> refused: signed by "
                                       "unknown key " +
                                       kMakersId});
    EXPECT_NE(planText(plan).find("2 boards: a b\n  update keys after: none (no key folder) -> "
                                  "makers.key " +
                                  kMakersId + " (release)\n  security version after: 0 -> 2\n"),
              std::string::npos);
    nlohmann::json json = nlohmann::json::parse(planJson(plan, "1"));
    EXPECT_EQ(json["comparison"]["groups"][1]["differences"][0],
              "signature: refused: no signature -> refused: signed by unknown key " + kMakersId);
    const std::string page = planPage(plan);
    EXPECT_NE(page.find("<td class=\"old\">refused: no signature</td><td class=\"new\">refused: "
                        "signed by unknown key " +
                        kMakersId + "</td>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("<td class=\"old\">0</td><td class=\"new\">2</td>"), std::string::npos);
}

// A board that took a valid image, with its keys before and after.
void keyedBoard(TrustFacts& t, std::vector<KeyFile> before, std::vector<KeyFile> after) {
    t.verdict = "valid";
    t.keyFolderBefore = t.keyFolderAfter = true;
    t.keysBefore = std::move(before);
    t.keysAfter = std::move(after);
}

// The trust column, in the boards table of the text and of the page: whom the board trusts
// before and after, and its refusal's reason without the key's ID.
TEST(Plan, BoardsTableHasATrustColumn) {
    const struct {
        const char* name;
        std::function<void(TrustFacts&)> change;
        const char* imageSigner;
        std::string cell;
    } cases[] = {
        {"keyless", [](TrustFacts&) {}, "unsigned", "unsigned, keyless"},
        {"keylessSigned", [](TrustFacts&) {}, "key x, format 2, security version 1",
         "not checked, keyless"},
        {"enrols",
         [](TrustFacts& t) {
             t.keyFolderAfter = true;
             t.keysAfter = {{"makers.key", kMakersId, "release"}};
         },
         "unsigned", "unsigned, keyless -> keys 1"},
        {"moreKeys",
         [](TrustFacts& t) {
             keyedBoard(t, {{"a.key", kMakersId, "release"}, {"b.key", kOtherId, "release"}},
                        {{"a.key", kMakersId, "release"},
                         {"b.key", kOtherId, "release"},
                         {"c.key", kOtherId, "release"}});
             t.signer = kMakersId;
             t.securityBefore = 1;
             t.securityAfter = 2;
         },
         "key x, format 2, security version 2", "keys 2 -> 3, sv 1 -> 2"},
        {"otherKey",
         [](TrustFacts& t) {
             keyedBoard(t, {{"a.key", kMakersId, "release"}}, {{"a.key", kOtherId, "release"}});
             t.securityBefore = t.securityAfter = 3;
         },
         "key x, format 2, security version 3", "keys 1 -> 1 (changed), sv 3"},
        // Root keys come in with the set's first statement, which its roots signed.
        {"firstRoots",
         [](TrustFacts& t) {
             keyedBoard(t, {{"a.key", kMakersId, "release"}},
                        {{"a.key", kMakersId, "release"},
                         {"r1.key", kOtherId, "root"},
                         {"r2.key", kOtherId, "root"}});
             t.keySetAfter = 1;
         },
         "key x, format 2, security version 0", "keys 1 -> 3 (2 root), key set 0 -> 1"},
        // A release key rotated by the roots: as many keys and roots, the set's version up.
        {"rotated",
         [](TrustFacts& t) {
             keyedBoard(t, {{"a.key", kMakersId, "release"}, {"r.key", kOtherId, "root"}},
                        {{"b.key", kMakersId, "release"}, {"r.key", kOtherId, "root"}});
             t.keySetBefore = 1;
             t.keySetAfter = 2;
         },
         "key x, format 2, security version 0", "keys 2 (1 root) -> 2 (changed), key set 1 -> 2"},
        {"unreadableKeySet",
         [](TrustFacts& t) {
             keyedBoard(t, {{"r.key", kOtherId, "root"}}, {{"r.key", kOtherId, "root"}});
             t.keySetBefore.reset();
             t.keySetAfter.reset();
         },
         "key x, format 2, security version 0", "keys 1 (1 root), key set unreadable"},
        {"unknownKey",
         [](TrustFacts& t) { t.verdict = "refused: signed by unknown key " + kMakersId; },
         "key x, format 2, security version 1", "refused: signed by unknown key"},
        {"badSignature",
         [](TrustFacts& t) { t.verdict = "refused: bad signature by key " + kMakersId; },
         "key x, format 2, security version 1", "refused: bad signature"},
        {"unreadableRecord",
         [](TrustFacts& t) {
             t.verdict = "not checked (no update key installed)";
             t.securityBefore.reset();
             t.securityAfter.reset();
         },
         "unsigned", "unsigned, keyless, sv unreadable"},
    };
    for (const auto& c : cases) {
        TrustFacts trust;
        trust.verdict = "not checked (no update key installed)";
        c.change(trust);
        EXPECT_EQ(trustCell(trust, c.imageSigner), c.cell) << c.name;
    }

    Plan plan = fleetPlan();
    TrustFacts& trust = ownRun(plan.boards[1]).trust;
    trust.verdict = "refused: signed by unknown key " + kMakersId;
    trust.keyFolderBefore = trust.keyFolderAfter = true;
    trust.keysBefore = trust.keysAfter = {{"other.key", kOtherId, "release"}};
    plan.groups = groupBoards(plan.boards);
    const std::string text = planText(plan);
    EXPECT_NE(text.find("  predicted  trust                           failed steps\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("44.0 s  refused: signed by unknown key  Write diff. PS-Keys\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("41.2 s  keyless\n"), std::string::npos) << text;
    const std::string page = planPage(plan);
    EXPECT_NE(page.find("<th>trust</th><th>failed steps or folder errors</th>"), std::string::npos);
    EXPECT_NE(page.find(",\"refused: signed by unknown key\",\"Write diff. PS-Keys\"]"),
              std::string::npos);
}

// A plan's JSON read back from a file of name, as --merge reads a part.
testing::AssertionResult readBack(const std::string& text, const char* name, Plan* read) {
    const std::string path = testing::TempDir() + name;
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (file == nullptr) return testing::AssertionFailure() << "can't write " << path;
    std::fputs(text.c_str(), file);
    std::fclose(file);
    std::string error;
    if (!readPlanJson(path, read, &error)) return testing::AssertionFailure() << error;
    return testing::AssertionSuccess();
}

// A security version record that holds no number is said so, in the text and the JSON, and
// read back so from the JSON: never as a board at 0.
TEST(Plan, AnUnreadableSecurityVersionIsNoZero) {
    Plan plan = fleetPlan();
    ownRun(plan.boards[0]).trust.securityBefore.reset();
    ownRun(plan.boards[0]).trust.securityAfter.reset();
    EXPECT_NE(boardText(plan.boards[0], false)
                  .find("board's security version: unreadable "
                        "(unchanged)\n"),
              std::string::npos);
    const std::string text = planJson(plan, "1");
    nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_EQ(runJson(json, 0)["trust"]["security_version_before_unreadable"], true);
    EXPECT_EQ(runJson(json, 1)["trust"]["security_version_before_unreadable"], false);
    EXPECT_EQ(runJson(json, 0)["trust"]["summary"], "keyless, sv unreadable");
    Plan read;
    ASSERT_TRUE(readBack(text, "unreadable-plan.json", &read));
    EXPECT_FALSE(read.boards[0].run->trust.securityBefore.has_value());
    EXPECT_EQ(read.boards[1].run->trust.securityBefore, std::optional<std::uint32_t>(0));
}

// A key that became a root key, and the key-set version it brought, are differences between
// two images, not boards alike.
TEST(Plan, ComparisonSeesKeyRolesAndKeySetVersions) {
    BoardFacts old = okBoard("r", 40);
    TrustFacts& was = ownRun(old).trust;
    was.keyFolderBefore = was.keyFolderAfter = true;
    was.keysBefore = was.keysAfter = {{"a.key", kMakersId, "release"}};
    BoardFacts now = old;
    TrustFacts& is = ownRun(now).trust;
    is.keysAfter = {{"a.key", kMakersId, "root"}};
    is.keySetAfter = 1;
    EXPECT_EQ(boardDifferences(old, now),
              (std::vector<std::string>{"update keys after: a.key " + kMakersId +
                                            " (release) -> a.key " + kMakersId + " (root)",
                                        "key-set version after: 0 -> 1"}));
}

// The keys' roles and a key-set version that can't be read go into the JSON and come back
// from it as they were (null, never 0); the text says both.
TEST(Plan, KeyRolesAndKeySetVersionsTravelThroughTheJson) {
    Plan plan = fleetPlan();
    TrustFacts& trust = ownRun(plan.boards[0]).trust;
    trust.keyFolderBefore = trust.keyFolderAfter = true;
    trust.keysBefore = {{"r.key", kOtherId, "root"}, {"x.pub", "", ""}};
    trust.keysAfter = {{"a.key", kMakersId, "release"}, {"r.key", kOtherId, "root"}};
    trust.keySetBefore.reset();
    trust.keySetAfter = 3;
    plan.groups = groupBoards(plan.boards);
    const std::string board = boardText(plan.boards[0], false);
    EXPECT_NE(board.find("update keys: r.key " + kOtherId +
                         " (root), x.pub (not a key)\n"
                         "update keys after: a.key " +
                         kMakersId + " (release), r.key " + kOtherId + " (root)\n"),
              std::string::npos)
        << board;
    EXPECT_NE(board.find("board's key-set version: unreadable -> 3\n"), std::string::npos) << board;
    const std::string text = planJson(plan, "1");
    nlohmann::json json = nlohmann::json::parse(text);
    EXPECT_TRUE(runJson(json, 0)["trust"]["keyset_version_before"].is_null());
    EXPECT_EQ(runJson(json, 0)["trust"]["keyset_version_after"], 3);
    EXPECT_EQ(runJson(json, 0)["trust"]["keys_before"][0]["role"], "root");
    EXPECT_TRUE(runJson(json, 0)["trust"]["keys_before"][1]["role"].is_null());
    EXPECT_EQ(runJson(json, 1)["trust"]["keyset_version_before"], 0);
    Plan read;
    ASSERT_TRUE(readBack(text, "key-set-plan.json", &read));
    const TrustFacts& back = read.boards[0].run->trust;
    EXPECT_FALSE(back.keySetBefore.has_value());
    EXPECT_EQ(back.keySetAfter, std::optional<std::uint32_t>(3));
    EXPECT_EQ(keyFilesText(back.keysBefore, true), keyFilesText(trust.keysBefore, true));
    EXPECT_EQ(keyFilesText(back.keysAfter, true), keyFilesText(trust.keysAfter, true));
    EXPECT_EQ(read.boards[1].run->trust.keySetBefore, std::optional<std::uint32_t>(0));
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

namespace {

// Boards that fail at one step as refusingBoard does, each site's with its own record lost.
BoardFacts siteBoard(const std::string& name, int site) {
    BoardFacts board = refusingBoard(name);
    ownRun(board).etc = {
        {"service.txt", false, "1100" + std::to_string(site) + ";Site printer;12", true}};
    return board;
}

// A fleet that fails at one step in groups split by their sites' records, and a group of
// boards that ended OK.
Plan sitesPlan() {
    Plan plan;
    plan.image = {"new.img", std::string(64, 'a'), "unsigned"};
    plan.boards = {siteBoard("lap-1", 1), siteBoard("lap-2", 2), okBoard("lap-3", 40),
                   siteBoard("lap-10", 1)};
    // The twins of a run share its facts.
    plan.boards[3].run = plan.boards[0].run;
    plan.groups = groupBoards(plan.boards);
    return plan;
}

// The groups that share an outcome are one kind, said first with what its groups differ in;
// in the text, the JSON and the page, whose outcomes come before its groups.
TEST(Plan, RollsTheGroupsUpIntoKindsOfOutcome) {
    Plan plan = sitesPlan();
    ASSERT_EQ(plan.groups.size(), 3u);
    plan.groups[0].twinsDifferIn = {"data.txt SERIALNO="};
    const std::vector<OutcomeKind> kinds = outcomeKinds(plan.boards, plan.groups);
    ASSERT_EQ(kinds.size(), 2u);
    EXPECT_EQ(kindSummary(kinds[0]),
              "NOK at Write diff. PS-Keys: 3 boards in 2 groups, which differ in: "
              "/etc/service.txt");
    EXPECT_EQ(kinds[1].differIn, std::vector<std::string>{});
    const std::string text = planText(plan);
    EXPECT_TRUE(text.starts_with(
        "=== new.img on 4 boards ===\n"
        "NOK at Write diff. PS-Keys: 3 boards in 2 groups, which differ in: /etc/service.txt\n"
        "  group 1 (2 boards): 0 keys (and 1 presets), firmware 2114 17.3.5, 4 sectors, 1 /etc "
        "lines, loses 1 own record; Write diff. PS-Keys: NOK (BCCMD set of PS-Key 0x0021 "
        "refused: status 0x0008), 44.0 s\n"
        "  group 2 (1 board): "))
        << text;
    EXPECT_NE(text.find("boards: lap-1 lap-10\n"
                        "twins differ in: data.txt SERIALNO=\n"),
              std::string::npos)
        << text;
    nlohmann::json json = nlohmann::json::parse(planJson(plan, "1"));
    EXPECT_EQ(json["kinds"][0]["groups"], nlohmann::json::array({1, 2}));
    EXPECT_EQ(json["kinds"][0]["differ_in"], nlohmann::json::array({"/etc/service.txt"}));
    EXPECT_EQ(json["groups"][1]["kind"], 1);
    EXPECT_EQ(json["groups"][0]["twins_differ_in"], nlohmann::json::array({"data.txt SERIALNO="}));
    EXPECT_EQ(json["runs"].size(), 3u);
    const std::string page = planPage(plan);
    EXPECT_LT(page.find("<h2>Outcomes</h2>"), page.find("<h2>Groups</h2>"));
    EXPECT_NE(page.find("<th colspan=\"5\">NOK at Write diff. PS-Keys: 3 boards in 2 groups, "
                        "which differ in: /etc/service.txt</th>"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("<td class=\"text\">data.txt SERIALNO=</td>"), std::string::npos);
    // Without twins that differed, no column for them.
    EXPECT_EQ(planPage(sitesPlan()).find("twins differ in"), std::string::npos);
}

// A count at a glance.
TEST(Plan, CountsGroupTheirThousands) {
    EXPECT_EQ(countText(0), "0");
    EXPECT_EQ(countText(999), "999");
    EXPECT_EQ(countText(2000), "2,000");
    EXPECT_EQ(countText(1234567), "1,234,567");
}

// A plan's parts, each written as JSON and read back, join into the plan of the whole, board by
// board: the same JSON, its runs shared as they were.
TEST(Plan, PartsReadBackJoinIntoTheWhole) {
    Plan whole = sitesPlan();
    whole.positions = {1, 2, 3, 4};
    whole.groups[0].twinsDifferIn = {"data.txt SERIALNO="};
    std::vector<Plan> parts(2);
    std::vector<std::string> paths;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        Plan part;
        part.image = whole.image;
        for (std::size_t i = p; i < whole.boards.size(); i += 2) {
            part.boards.push_back(whole.boards[i]);
            part.positions.push_back(whole.positions[i]);
        }
        part.groups = groupBoards(part.boards);
        for (BoardGroup& group : part.groups)
            if (part.boards[group.members[0]].run == whole.boards[0].run)
                group.twinsDifferIn = {"data.txt SERIALNO="};
        paths.push_back(testing::TempDir() + "part" + std::to_string(p) + ".json");
        std::FILE* file = std::fopen(paths.back().c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fputs(planJson(part, "1").c_str(), file);
        std::fclose(file);
    }
    SharedRuns runs;
    std::string error;
    for (std::size_t p = 0; p < parts.size(); ++p)
        ASSERT_TRUE(readPlanJson(paths[p], &parts[p], &error, &runs)) << error;
    // lap-1 and lap-10, twins in different parts, share their run again.
    EXPECT_EQ(parts[0].boards[0].run, parts[1].boards[1].run);
    Plan merged;
    ASSERT_TRUE(mergePlans(parts, paths, &merged, &error)) << error;
    EXPECT_EQ(planJson(merged, "1"), planJson(whole, "1"));
    EXPECT_EQ(planText(merged), planText(whole));

    // A board whose run is not among the runs before it is no plan.
    std::FILE* file = std::fopen(paths[0].c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::string text = planJson(parts[0], "1");
    text.replace(text.find("\"run\":1"), 7, "\"run\":9");
    std::fputs(text.c_str(), file);
    std::fclose(file);
    Plan bad;
    EXPECT_FALSE(readPlanJson(paths[0], &bad, &error));
    EXPECT_EQ(error, paths[0] + ": the board lap-1's run 9 is not among the runs before it");
}

}  // namespace
