#include "tools/rollout/field_facts.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "tools/common/input_file.h"
#include "tools/common/numbers.h"
#include "tools/common/update_report.h"

namespace rollout {

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<std::uint64_t> statusIn(const std::string& path) {
    std::vector<std::string> lines = splitLines(fileText(path));
    if (lines.empty()) return std::nullopt;
    return unsignedNumber(lines.front());
}

std::string trimmed(const std::string& text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::map<std::string, std::string> readKeyLines(const std::string& text) {
    std::map<std::string, std::string> keys;
    for (const std::string& line : splitLines(text)) {
        if (!line.starts_with('&')) continue;
        std::string key = line.substr(0, line.find_first_of(" ="));
        std::transform(key.begin(), key.end(), key.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string value;
        if (std::size_t equals = line.find('='); equals != std::string::npos)
            value = trimmed(line.substr(equals + 1, line.find("//") - equals - 1));
        keys[key] = value;
    }
    return keys;
}

std::optional<std::uint64_t> flashSizeOf(const std::string& text) {
    std::string size = trimmed(splitLines(text).empty() ? "" : splitLines(text).front());
    std::uint64_t unit = 1;
    if (size.ends_with('K') || size.ends_with('M')) {
        unit = size.back() == 'K' ? 1024 : 1024 * 1024;
        size.pop_back();
    }
    std::optional<std::uint64_t> value =
        size.starts_with("0x") ? unsignedNumber(size, 16) : unsignedNumber(size);
    if (!value) return std::nullopt;
    return *value * unit;
}

std::vector<FailedStep> failedSteps(const std::string& report) {
    std::vector<FailedStep> steps;
    for (const std::string& line : splitLines(failureCause(report))) {
        if (!line.starts_with(' ') && line.ends_with(" failed:")) {
            std::string step = line.substr(0, line.size() - 8);
            // A plan names the image's reception as the first of the steps.
            if (step == "the update's reception") step = "Image check";
            steps.push_back({step, {}});
        } else if (!steps.empty() && line.find_first_not_of(' ') != std::string::npos) {
            steps.back().reasons.push_back(line.substr(line.find_first_not_of(' ')));
        }
    }
    return steps;
}

FieldFacts readFieldFacts(const std::string& dir) {
    FieldFacts facts;
    std::optional<std::uint64_t> session = statusIn(dir + "/ssh-status");
    std::optional<std::uint64_t> peer = statusIn(dir + "/peer-status");
    if (session == 124u) {
        facts.reach = Reach::NoAnswer;
        facts.why = "the board's time limit passed";
        return facts;
    }
    if (!peer) {
        facts.reach = Reach::Unreachable;
        facts.why =
            session ? "ssh ended with status " + std::to_string(*session) : "no session was made";
        return facts;
    }
    if (*peer != 0 && *peer != 1) {
        facts.reach = Reach::NoAnswer;
        facts.why = *peer == 3 ? "the daemon gave no final notice in time"
                               : "the peer could not ask the daemon (aipeer's exit status " +
                                     std::to_string(*peer) + ")";
        return facts;
    }
    facts.reach = Reach::Updated;
    facts.outcome = *peer == 0 ? "OK" : "NOK";
    facts.failed = failedSteps(fileText(dir + "/update.log"));
    if (statusIn(dir + "/capture-status") != 0u) return facts;
    facts.captured = true;
    const std::string board = dir + "/board/";
    const std::string dump = fileText(board + "module.psr");
    facts.keys = readKeyLines(dump);
    facts.flashSize = flashSizeOf(fileText(board + "flash"));
    for (const char* file : {"data.txt", "service.txt", "terminal.txt"})
        facts.etc[file] = splitLines(fileText(board + "etc/" + file));
    return facts;
}

}  // namespace rollout
