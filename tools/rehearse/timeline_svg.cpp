// A board's timeline as SVG, and the escaping that the page and the timeline share.
#include <algorithm>

#include "tools/common/formatted.h"
#include "tools/rehearse/plan.h"

namespace {

// The length of the valid UTF-8 sequence at text[i], 0 when the byte there begins none.
std::size_t utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
                         : lead >= 0xe0 && lead <= 0xef ? 3
                         : lead >= 0xf0 && lead <= 0xf4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    // No overlong form, no surrogate, nothing past U+10FFFF.
    const unsigned char second = byte(i + 1);
    if ((lead == 0xe0 && second < 0xa0) || (lead == 0xed && second > 0x9f) ||
        (lead == 0xf0 && second < 0x90) || (lead == 0xf4 && second > 0x8f))
        return 0;
    return length;
}

}  // namespace

// Text for HTML: its markup characters escaped, and each byte that isn't valid UTF-8 (a board's
// file may hold any) replaced by U+FFFD, so the page is what it declares.
std::string markupEscaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8Length(text, i);
        if (length == 0) {
            out += "\xef\xbf\xbd";
            ++i;
            continue;
        }
        const char c = text[i];
        out += c == '&'   ? "&amp;"
               : c == '<' ? "&lt;"
               : c == '>' ? "&gt;"
               : c == '"' ? "&quot;"
                          : text.substr(i, length);
        i += length;
    }
    return out;
}

namespace {

constexpr int kLeft = 190, kPlot = 640, kRowHeight = 22, kBarHeight = 14, kTop = 56;
// A chart spans its own steps' time, but at least a second: a run that ended at once is not
// drawn the width of the chart. A step too short to see gets the least visible width.
constexpr double kLeastSpan = 1.0;
constexpr double kLeastBar = 2.0;
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
        "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"><title>%s: %.3g "
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

// The time axis under rows of bars: a line, and a tick every 0.1, 0.2, 0.5, 1, 2, 5, ...
// seconds, at most ten of them.
std::string axisSvg(double span, double scale, int rows) {
    double tick = 0.1;
    for (int i = 0; span / tick > 10; ++i) tick *= i % 3 == 1 ? 2.5 : 2;
    const int bottom = kTop + rows;
    std::string svg = formatted("<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#555\"/>\n",
                                kLeft, bottom, kLeft + kPlot, bottom);
    for (int n = 0; n * tick <= span + 1e-9; ++n) {
        const double x = kLeft + n * tick * scale;
        svg += formatted("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#ddd\"/>\n", x,
                         kTop - 4, x, bottom);
        svg += formatted("<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"#555\"/>\n", x,
                         bottom, x, bottom + 4);
        svg += formatted(
            "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\" fill=\"#555\">%g s</text>\n", x,
            bottom + 16, n * tick);
    }
    return svg;
}

// A step's bar at its place in time: the wire, the waits and the work; a step too short to see
// as one bar of the least width, in the colour of its largest part. Where the bar ends.
double stepBar(std::string& svg, const StepFacts& step, double scale, int y) {
    double x = kLeft + step.start * scale;
    if (step.total * scale < kLeastBar) {
        const Segment& largest = step.wire >= std::max(step.waits, step.work) ? kWire
                                 : step.waits >= step.work                    ? kWaits
                                                                              : kWork;
        svg += box(x, kLeastBar, y, largest, step.total);
        return x + kLeastBar;
    }
    for (const auto& [segment, seconds] :
         {std::pair{&kWire, step.wire}, {&kWaits, step.waits}, {&kWork, step.work}}) {
        svg += box(x, seconds * scale, y, *segment, seconds);
        x += seconds * scale;
    }
    return x;
}

}  // namespace

std::string timelineSvg(const BoardFacts& board, const std::string& title, bool measured) {
    const RunFacts& run = *board.run;
    if (!run.duration || run.steps.empty()) return "";
    double span = std::max(*run.duration, kLeastSpan);
    for (const StepFacts& step : run.steps) span = std::max(span, step.start + step.total);
    const double scale = kPlot / span;
    const int rows = static_cast<int>(run.steps.size()) * kRowHeight;
    const int width = kLeft + kPlot + 240, height = kTop + rows + 56;
    std::string svg = formatted(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d "
        "%d\" font-family=\"sans-serif\" font-size=\"12\">\n",
        width, height, width, height);
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg += "<text x=\"10\" y=\"20\" font-size=\"14\" font-weight=\"bold\">" + markupEscaped(title) +
           "</text>\n";
    svg += formatted("<text x=\"10\" y=\"38\">%.2f s at the board's speed (%s)</text>\n",
                     *run.duration, measured ? "measured" : "predicted");
    svg += axisSvg(span, scale, rows);
    for (std::size_t i = 0; i < run.steps.size(); ++i) {
        const StepFacts& step = run.steps[i];
        const int y = kTop + static_cast<int>(i) * kRowHeight;
        const char* colour = bad(step) ? "#b00" : "black";
        svg += formatted("<text x=\"%d\" y=\"%d\" text-anchor=\"end\" fill=\"%s\">", kLeft - 8,
                         y + kBarHeight - 2, colour) +
               markupEscaped(step.name) + "</text>\n";
        // Behind the bar: the step's time and, unless a plain OK, its result.
        double x = kLeft;
        std::string after = step.result;
        if (step.result != kNotRun) {
            x = stepBar(svg, step, scale, y);
            after =
                formatted("%.2f s", step.total) + (step.result == "OK" ? "" : ", " + step.result);
        }
        svg +=
            formatted("<text x=\"%.1f\" y=\"%d\" fill=\"%s\">", x + 6, y + kBarHeight - 2, colour) +
            markupEscaped(after) + "</text>\n";
    }
    return svg + legendSvg(kTop + rows + 36) + "</svg>\n";
}
