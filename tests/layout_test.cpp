// The floors of the source tree: core/ knows nothing above it; image/ and btlink/ do the work
// and know only core/; update/ holds the steps over them; the main loop sits on top. The
// simulated board's models read the daemon's bytes with their own decoding and see only the
// platform seam. The tools take the daemon's formats and tables from src/'s floors and keep
// the rest in their own folders, side by side: what more than one of them takes is in
// tools/common. Checked over the includes of every source file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const fs::path kRoot = PROJECT_SOURCE_PATH;

struct Include {
    std::string from;  // path of the including file, relative to the project
    std::string to;    // the included path as written
};

std::vector<Include> projectIncludes(const char* folder) {
    static const std::regex include(R"re(^\s*#\s*include\s*"([^"]+)")re");
    std::vector<Include> found;
    for (const auto& entry : fs::recursive_directory_iterator(kRoot / folder)) {
        std::string extension = entry.path().extension().string();
        if (!entry.is_regular_file() || (extension != ".h" && extension != ".cpp")) continue;
        std::ifstream in(entry.path());
        std::string from = fs::relative(entry.path(), kRoot).string();
        for (std::string line; std::getline(in, line);) {
            std::smatch match;
            if (std::regex_search(line, match, include)) found.push_back({from, match[1]});
        }
    }
    return found;
}

std::string firstComponent(const std::string& path) { return path.substr(0, path.find('/')); }

bool isTest(const std::string& path) {
    return path.ends_with("_test.cpp") || path.ends_with("_bench.cpp");
}

// The floors each floor of src/ may include.
const std::map<std::string, std::set<std::string>> kAllowedFloors = {
    {"core", {"core"}},
    {"image", {"core", "image"}},
    {"btlink", {"core", "btlink"}},
    {"update", {"core", "image", "btlink", "update"}},
};

TEST(Layout, IncludesOnlyGoDownTheFloors) {
    std::vector<std::string> violations;
    for (const Include& include : projectIncludes("src")) {
        std::string floor = include.from.substr(4);          // after "src/"
        if (floor.find('/') == std::string::npos) continue;  // the main loop: on top
        floor = firstComponent(floor);
        std::string target = firstComponent(include.to);
        // Tests may also use the test support, the tools' libraries and the board's models.
        if (isTest(include.from) && (target == "tests" || target == "tools" || target == "sim"))
            continue;
        if (!kAllowedFloors.at(floor).contains(target))
            violations.push_back(include.from + " includes " + include.to);
    }
    EXPECT_EQ(violations, std::vector<std::string>{});
}

TEST(Layout, BoardModelsSeeOnlyThePlatformSeam) {
    std::vector<std::string> violations;
    for (const Include& include : projectIncludes("sim")) {
        if (firstComponent(include.to) != "src" && firstComponent(include.to) != "core" &&
            firstComponent(include.to) != "update" && firstComponent(include.to) != "image" &&
            firstComponent(include.to) != "btlink")
            continue;
        if (include.to != "core/platform.h")
            violations.push_back(include.from + " includes " + include.to);
    }
    EXPECT_EQ(violations, std::vector<std::string>{});
}

// The room an include names: "tools/<tool>" in tools/, a floor of src/, or a top folder.
std::string roomOf(const std::string& path) {
    std::string room = firstComponent(path);
    if (room == "tools") room += "/" + firstComponent(path.substr(room.size() + 1));
    return room;
}

// Whether a file of tools/ may include a path: its own folder, tools/common (what more than one
// tool takes) and src/'s floors; rehearse also the board's models, whose figures it takes; tests
// also the test support and the board's models. No tool reaches into another's folder: what two
// share moves to tools/common.
bool toolMayInclude(const std::string& from, const std::string& to) {
    const std::string own = roomOf(from);
    const std::string room = roomOf(to);
    if (room == own || room == "tools/common" || kAllowedFloors.contains(room)) return true;
    if (room == "sim" && (own == "tools/rehearse" || isTest(from))) return true;
    return room == "tests" && isTest(from);
}

TEST(Layout, ToolsIncludeTheFloorsTheirOwnAndTheCommon) {
    std::vector<std::string> violations;
    for (const Include& include : projectIncludes("tools"))
        if (!toolMayInclude(include.from, include.to))
            violations.push_back(include.from + " includes " + include.to);
    EXPECT_EQ(violations, std::vector<std::string>{});
}

// The rule itself: a tool that took from another tool's folder would be caught.
TEST(Layout, AToolThatIncludesAnotherToolsFolderIsCaught) {
    EXPECT_FALSE(toolMayInclude("tools/rehearse/step_times.cpp", "tools/aipeer/peer.h"));
    EXPECT_FALSE(toolMayInclude("tools/aipeer/main.cpp", "tools/mkupdate/update_build.h"));
    EXPECT_FALSE(toolMayInclude("tools/rollout/plan_compare_test.cpp", "tools/rehearse/plan.h"));
    EXPECT_FALSE(toolMayInclude("tools/common/image_files.cpp", "tools/mkupdate/update_build.h"));
    EXPECT_FALSE(toolMayInclude("tools/aipeer/peer.cpp", "sim/sim_clock.h"));
    EXPECT_FALSE(toolMayInclude("tools/mkupdate/main.cpp", "tests/support/board.h"));
    EXPECT_TRUE(toolMayInclude("tools/rehearse/step_times.cpp", "tools/common/update_report.h"));
    EXPECT_TRUE(toolMayInclude("tools/rehearse/board_facts.cpp", "sim/sim_clock.h"));
    EXPECT_TRUE(toolMayInclude("tools/aipeer/main.cpp", "tools/aipeer/peer.h"));
    EXPECT_TRUE(toolMayInclude("tools/common/image_builder.cpp", "image/image_header.h"));
    EXPECT_TRUE(toolMayInclude("tools/aipeer/peer_test.cpp", "tests/support/board.h"));
}

// A source file and its header are one unit: "core/log" for core/log.h and core/log.cpp.
std::string unitOf(const std::string& path) {
    std::string unit = path.substr(0, path.rfind('.'));
    return unit.starts_with("src/") ? unit.substr(4) : unit;
}

TEST(Layout, NoCirclesButTheReportsErrorLines) {
    std::map<std::string, std::set<std::string>> uses;
    for (const Include& include : projectIncludes("src")) {
        if (isTest(include.from)) continue;
        std::string from = unitOf(include.from);
        std::string to = unitOf(include.to);
        if (from != to) uses[from].insert(to);
    }
    // Units that reach themselves again through others lie on a circle.
    std::set<std::string> onCircle;
    for (const auto& [start, direct] : uses) {
        std::set<std::string> seen;
        std::vector<std::string> open(direct.begin(), direct.end());
        while (!open.empty()) {
            std::string unit = open.back();
            open.pop_back();
            if (!seen.insert(unit).second) continue;
            if (unit == start) {
                onCircle.insert(start);
                break;
            }
            for (const std::string& next : uses[unit]) open.push_back(next);
        }
    }
    // The log appends its error texts to the update report with the file utilities, which
    // (with the rules for the work files in /tmp they open by) report their own failures
    // through the log.
    EXPECT_EQ(onCircle, (std::set<std::string>{"core/file_util", "core/log", "core/work_files"}));
}

// A tool's function fits on a screen: at most 60 lines from its signature to its closing
// brace. Definitions begin at the line's start (the house's format), and so do their closing
// braces; a table or a type opens there too and is no function; a namespace holds functions.
TEST(Layout, ToolFunctionsStayWithinSixtyLines) {
    static const std::regex notAFunction(R"(^(struct|class|enum|union)\b|=)");
    std::vector<std::string> tooLong;
    for (const auto& entry : fs::recursive_directory_iterator(kRoot / "tools")) {
        const std::string path = fs::relative(entry.path(), kRoot).string();
        if (!entry.is_regular_file() || !path.ends_with(".cpp") || isTest(path)) continue;
        std::ifstream in(entry.path());
        std::string first;  // the first line of the definition under way
        int number = 0, signature = 0;
        bool opened = false;
        for (std::string line; std::getline(in, line);) {
            ++number;
            if (opened) {
                if (!line.starts_with("}")) continue;
                if (!std::regex_search(first, notAFunction) && number - signature + 1 > 60)
                    tooLong.push_back(path + ":" + std::to_string(signature) + ": " +
                                      std::to_string(number - signature + 1) + " lines");
                opened = false;
                signature = 0;
            } else if (line.empty() || line.starts_with("//") || line.starts_with("#") ||
                       line.starts_with("}") || line.starts_with("namespace") ||
                       line.starts_with("extern")) {
                signature = 0;
            } else {
                if (signature == 0 && !std::isspace(static_cast<unsigned char>(line.front()))) {
                    signature = number;
                    first = line;
                }
                if (signature != 0 && line.ends_with("{")) opened = true;
                if (signature != 0 && line.ends_with(";")) signature = 0;
            }
        }
    }
    EXPECT_EQ(tooLong, std::vector<std::string>{});
}

}  // namespace
