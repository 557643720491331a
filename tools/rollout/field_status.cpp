#include "tools/rollout/field_status.h"

#include "tools/common/formatted.h"

namespace rollout {

namespace {

std::string plural(std::size_t count, const char* word) {
    return std::to_string(count) + " " + word + (count == 1 ? "" : "s");
}

std::string tallyText(const Tally& counts) {
    std::string text;
    auto add = [&](std::size_t count, const char* what) {
        if (count > 0) text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
    };
    add(counts.updated, kUpdated);
    add(counts.asPlanned, kAsPlanned);
    add(counts.already, kAlready);
    add(counts.unexpected, kUnexpected);
    add(counts.unreachable, kUnreachable);
    add(counts.noAnswer, kNoAnswer);
    add(counts.underWay, kUnderWay);
    add(counts.notYet, kNotYet);
    return text.empty() ? "no boards" : text;
}

std::string html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// What came back from a board that has run.
const char* actualOf(const BoardEntry& board) {
    if (board.status == kNotYet) return "";
    if (board.status == kUnreachable) return "not reached";
    if (board.status == kAlready) return "not run";
    if (board.status == kUnderWay) return "no result";
    return board.outcome.empty() ? "no final notice" : board.outcome.c_str();
}

// The status's class on the page: its colour.
const char* tone(const std::string& status) {
    if (status == kUpdated || status == kAsPlanned || status == kAlready) return "good";
    if (status == kNotYet || status == kUnderWay) return "idle";
    return "bad";
}

}  // namespace

const char* exitStatusMeaning(int status) {
    switch (status) {
        case 0:
            return "every board ended as its plan said";
        case 1:
            return "the rollout halted, or a board ended unlike its plan or was not reached";
        case 3:
            return "not every board has run yet (--resume goes on), or one is under way (--retry)";
        default:
            return "usage error or wrong input";
    }
}

std::string verdictLine(const RolloutState& state) {
    Tally counts = tally(state);
    std::string verdict = verdictOf(state);
    std::string line;
    if (state.haltedWave) {
        line = formatted("halted in wave %zu of %zu: %s", *state.haltedWave, state.waveEnds.size(),
                         state.haltReason.c_str());
    } else if (counts.notYet == 0 && counts.underWay == 0) {
        line = "finished: " + plural(state.boards.size(), "board");
    } else {
        line =
            formatted("%zu of %zu boards run",
                      state.boards.size() - counts.notYet - counts.underWay, state.boards.size());
        if (counts.underWay > 0) line += formatted(", %zu under way", counts.underWay);
    }
    return verdict + " - " + line;
}

std::string statusText(const RolloutState& state) {
    std::string text = "rollout of " + state.imageName + ": " + verdictLine(state) + "\n";
    text += "  " + tallyText(tally(state)) + "\n";
    for (std::size_t wave = 1; wave <= state.waveEnds.size(); ++wave) {
        std::size_t first = wave == 1 ? 0 : state.waveEnds[wave - 2];
        text +=
            formatted("wave %zu (%s, boards %zu-%zu): %s\n", wave,
                      shareText(keptWaves(state.waves, state.boards.size())[wave - 1]).c_str(),
                      first + 1, state.waveEnds[wave - 1], tallyText(tally(state, wave)).c_str());
    }
    for (const BoardEntry& board : state.boards) {
        if (board.status == kUpdated || board.status == kNotYet || board.status == kAlready)
            continue;
        text += formatted("  %s (%s, wave %zu): %s, planned %s, found %s\n", board.name.c_str(),
                          board.host.c_str(), board.wave, board.status.c_str(),
                          board.planned.c_str(), actualOf(board));
        for (const std::string& difference : board.differences) text += "    " + difference + "\n";
    }
    int status = exitStatusOf(state);
    text += formatted("exit status %d: %s\n", status, exitStatusMeaning(status));
    return text;
}

namespace {

std::string wavesTable(const RolloutState& state) {
    std::string page =
        "<h2>Waves</h2>\n<table><tr><th>wave</th><th>up to</th><th>boards</th>"
        "<th>updated</th><th>as planned</th><th>already updated</th><th>unexpected</th>"
        "<th>unreachable</th><th>no answer</th><th>under way</th><th>not yet</th></tr>\n";
    for (std::size_t wave = 1; wave <= state.waveEnds.size(); ++wave) {
        Tally c = tally(state, wave);
        std::size_t first = wave == 1 ? 0 : state.waveEnds[wave - 2];
        bool halted = state.haltedWave == wave;
        page += formatted(
            "<tr><td%s>%zu%s</td><td>%s</td><td>%zu</td><td>%zu</td><td>%zu</td><td>%zu</td>"
            "<td%s>%zu</td><td%s>%zu</td><td%s>%zu</td><td>%zu</td><td>%zu</td></tr>\n",
            halted ? " class=\"bad\"" : "", wave, halted ? " (halted)" : "",
            html(shareText(keptWaves(state.waves, state.boards.size())[wave - 1])).c_str(),
            state.waveEnds[wave - 1] - first, c.updated, c.asPlanned, c.already,
            c.unexpected ? " class=\"bad\"" : "", c.unexpected,
            c.unreachable ? " class=\"bad\"" : "", c.unreachable,
            c.noAnswer ? " class=\"bad\"" : "", c.noAnswer, c.underWay, c.notYet);
    }
    return page;
}

}  // namespace

std::string statusPage(const RolloutState& state) {
    const std::string verdict = verdictOf(state);
    const int status = exitStatusOf(state);
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<title>Rollout of " +
        html(state.imageName) +
        "</title>\n<style>\n"
        "body{font-family:sans-serif;margin:1.5em;color:#222}\n"
        ".verdict{font-size:1.6em;padding:.6em 1em;border-radius:6px;margin-bottom:.5em}\n"
        ".verdict.good{background:#d8f0d8}.verdict.bad{background:#f6d0d0}"
        ".verdict.idle{background:#eee}\n"
        "table{border-collapse:collapse;margin:.5em 0 1.5em}td,th{border:1px solid #bbb;"
        "padding:.2em .5em;text-align:left;vertical-align:top}\n"
        "td.good{background:#e6f5e6}td.bad{background:#f9dede}td.idle{color:#777}\n"
        "ul{margin:0;padding-left:1.2em}td.name{white-space:nowrap}\n"
        "@media print{body{margin:0}table{width:100%}}\n</style></head><body>\n";
    page += formatted("<div class=\"verdict %s\"><strong>%s</strong></div>\n", tone(verdict),
                      html(verdictLine(state)).c_str());
    page += "<p>" + html(tallyText(tally(state))) + ". Image " + html(state.imageName) +
            " (SHA-256 <code>" + html(state.imageSha256) + "</code>), plan " +
            html(state.planPath) + ".</p>\n";
    page += formatted("<p>Exit status %d: %s.</p>\n", status, exitStatusMeaning(status));
    page += wavesTable(state);
    page +=
        "</table>\n<h2>Boards, planned and actual</h2>\n<table><tr><th>board</th>"
        "<th>host</th><th>wave</th><th>status</th><th>planned</th><th>actual</th>"
        "<th>differences</th></tr>\n";
    // The boards that went wrong first, then the rest in their order.
    for (int pass = 0; pass < 2; ++pass) {
        for (const BoardEntry& board : state.boards) {
            if ((std::string(tone(board.status)) == "bad") != (pass == 0)) continue;
            std::string differences;
            for (const std::string& difference : board.differences)
                differences += "<li>" + html(difference) + "</li>";
            page += formatted(
                "<tr><td class=\"name\">%s</td><td class=\"name\">%s</td><td>%zu</td>"
                "<td class=\"%s\">%s</td><td>%s</td>"
                "<td>%s</td><td>%s</td></tr>\n",
                html(board.name).c_str(), html(board.host).c_str(), board.wave, tone(board.status),
                html(board.status).c_str(), html(board.planned).c_str(),
                html(actualOf(board)).c_str(),
                differences.empty() ? "" : ("<ul>" + differences + "</ul>").c_str());
        }
    }
    page += "</table>\n</body></html>\n";
    return page;
}

}  // namespace rollout
