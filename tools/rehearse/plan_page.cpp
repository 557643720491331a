#include <cmath>

#include "tools/common/formatted.h"
#include "tools/rehearse/plan.h"

namespace {

std::string escaped(const std::string& text) {
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

constexpr int kLeft = 190, kPlot = 640, kRowHeight = 22, kBarHeight = 14, kTop = 56;
struct Segment {
    const char* what;
    const char* colour;
};
constexpr Segment kWire{"wire (module line)", "#3a7bd5"};
constexpr Segment kWaits{"waits", "#b0b0b0"};
constexpr Segment kWork{"work (processing, flash)", "#e8890c"};

std::string box(double x, double width, int y, const Segment& segment, double seconds) {
    if (width <= 0) return "";
    return formatted(
        "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>%s: %.2f "
        "s</title></rect>\n",
        x, y, width, kBarHeight, segment.colour, segment.what, seconds);
}

bool bad(const StepFacts& step) { return stepFailed(step) || step.result == kNotRun; }

// What the bars' colours stand for, in a line at y.
std::string legendSvg(int y) {
    std::string svg;
    int x = kLeft;
    for (const Segment* segment : {&kWire, &kWaits, &kWork}) {
        svg += formatted(
            "<rect x=\"%d\" y=\"%d\" width=\"12\" height=\"12\" fill=\"%s\"/><text x=\"%d\" "
            "y=\"%d\">%s</text>\n",
            x, y, segment->colour, x + 18, y + 11, segment->what);
        x += 190;
    }
    return svg;
}

}  // namespace

std::string timelineSvg(const BoardFacts& board, const std::string& title, bool measured) {
    if (!board.duration || board.steps.empty()) return "";
    const std::size_t n = board.steps.size();
    const double span = *board.duration > 0 ? *board.duration : 1;
    // A tick every 1, 2, 5, 10, 20, ... seconds, at most ten of them.
    double tick = 1;
    for (int i = 0; span / tick > 10; ++i) tick *= i % 3 == 1 ? 2.5 : 2;
    const double scale = kPlot / span;
    const int rows = static_cast<int>(n) * kRowHeight;
    std::string svg = formatted(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
        "font-family=\"sans-serif\" font-size=\"12\">\n",
        kLeft + kPlot + 240, kTop + rows + 50);
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"10\" y=\"20\" font-size=\"14\" font-weight=\"bold\">" + escaped(title) +
           "</text>\n";
    svg += formatted("<text x=\"10\" y=\"38\">%.1f s at the board's speed (%s)</text>\n",
                     *board.duration, measured ? "measured" : "predicted");
    for (double t = 0; t <= span + 1e-4; t += tick) {
        double x = kLeft + t * scale;
        svg += formatted("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>\n", x,
                         kTop - 4, x, kTop + rows);
        svg += formatted(
            "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" fill=\"#555\">%g s</text>\n", x,
            kTop + rows + 14, t);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const StepFacts& step = board.steps[i];
        const int y = kTop + static_cast<int>(i) * kRowHeight;
        const char* colour = bad(step) ? "#b00" : "black";
        svg += formatted("<text x=\"%d\" y=\"%d\" text-anchor=\"end\" fill=\"%s\">", kLeft - 8,
                         y + kBarHeight - 2, colour) +
               escaped(step.name) + "</text>\n";
        double x = kLeft + step.start * scale;
        std::string after = step.result;
        if (step.result != kNotRun) {
            svg += box(x, step.wire * scale, y, kWire, step.wire);
            x += step.wire * scale;
            svg += box(x, step.waits * scale, y, kWaits, step.waits);
            x += step.waits * scale;
            svg += box(x, step.work * scale, y, kWork, step.work);
            x += step.work * scale;
            // Behind the bar: the step's time and, unless a plain OK, its result.
            after =
                formatted("%.1f s", step.total) + (step.result == "OK" ? "" : ", " + step.result);
        } else {
            x = kLeft + span * scale;
        }
        svg +=
            formatted("<text x=\"%.1f\" y=\"%d\" fill=\"%s\">", x + 6, y + kBarHeight - 2, colour) +
            escaped(after) + "</text>\n";
    }
    return svg + legendSvg(kTop + rows + 30) + "</svg>\n";
}

std::string planPage(const Plan& plan) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + escaped(plan.image.name) +
        ": rehearsal</title>\n<style>body{font-family:sans-serif;margin:1.5em}"
        "td,th{padding:2px 8px;text-align:left}tr.nok{color:#b00}"
        "details{margin:.3em 0}pre{background:#f4f4f4;padding:.5em}</style></head><body>\n";
    page += "<h1>" + escaped(plan.image.name) + " on " + std::to_string(plan.boards.size()) +
            " boards</h1>\n<p>SHA-256 " + plan.image.sha256 + "; durations " +
            (plan.measured ? "measured" : "predicted") + " at the boards' speed</p>\n";
    page +=
        "<h2>Groups</h2>\n<table><tr><th>group</th><th>what the image does</th>"
        "<th>boards</th></tr>\n";
    for (std::size_t g = 0; g < plan.groups.size(); ++g) {
        const BoardGroup& group = plan.groups[g];
        const BoardFacts& first = plan.boards[group.members.front()];
        std::string names;
        for (std::size_t i : group.members)
            names += (names.empty() ? "" : ", ") + plan.boards[i].name;
        page += std::string("<tr") + (first.outcome == Outcome::Ok ? "" : " class=\"nok\"") +
                "><td>" + std::to_string(g + 1) + "</td><td>" +
                escaped(groupSummary(plan.boards, group)) + "</td><td>" + escaped(names) +
                "</td></tr>\n";
    }
    page += "</table>\n";
    if (plan.comparison) {
        page += "<h2>Against " + escaped(plan.comparison->oldImage.name) + "</h2>\n<ul>\n";
        for (const DifferenceGroup& group : plan.comparison->groups) {
            std::string names;
            for (const std::string& name : group.boards)
                names += (names.empty() ? "" : ", ") + name;
            page +=
                "<li>" + escaped(names) + (group.differences.empty() ? ": alike" : ":") + "<ul>";
            for (const std::string& line : group.differences)
                page += "<li><code>" + escaped(line) + "</code></li>";
            page += "</ul></li>\n";
        }
        page += "</ul>\n";
    }
    page += "<h2>Boards</h2>\n";
    for (std::size_t g = 0; g < plan.groups.size(); ++g) {
        page += "<h3>Group " + std::to_string(g + 1) + "</h3>\n";
        for (std::size_t i : plan.groups[g].members) {
            const BoardFacts& board = plan.boards[i];
            page += "<details" + std::string(i == plan.groups[g].members.front() ? " open" : "") +
                    "><summary>" + escaped(board.name) + ": " +
                    escaped(outcomeName(board.outcome)) +
                    (board.duration ? formatted(", %.1f s", *board.duration) : "") +
                    "</summary>\n<pre>" + escaped(boardText(board, plan.measured)) + "</pre>\n" +
                    timelineSvg(board, plan.image.name + " on " + board.name, plan.measured) +
                    "</details>\n";
        }
    }
    return page + "</body></html>\n";
}
