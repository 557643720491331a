// The page to decide on, one self-contained HTML file: the verdict, the kinds of outcome, the
// groups inside them, the comparison, every board and each group's detail.
#include <algorithm>
#include <map>

#include "tools/common/formatted.h"
#include "tools/common/json_text.h"
#include "tools/rehearse/plan.h"

namespace {

// How the page styles the outcomes: a class for a row, a word for a reader.
const char* outcomeClass(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "ok";
        case Outcome::Nok:
            return "nok";
        case Outcome::NoFinalNotice:
            return "broke";
        case Outcome::Seeding:
            break;
    }
    return "wrong";
}

std::string outcomeCell(Outcome outcome) {
    return std::string("<td><span class=\"badge ") + outcomeClass(outcome) + "\">" +
           markupEscaped(outcome == Outcome::Seeding ? "not rehearsed" : outcomeName(outcome)) +
           "</span></td>";
}

const char* statusMeaning(int status) {
    switch (status) {
        case 0:
            return "every board ended OK";
        case 1:
            return "a board ended NOK";
        case 2:
            return "a board's folder is wrong";
        default:
            return "a run broke (no final notice came)";
    }
}

// The verdict at the top: how many boards ended OK, the exit status, the image and its signer.
std::string verdictHtml(const Plan& plan) {
    const std::size_t total = plan.boards.size();
    const auto ok = static_cast<std::size_t>(
        std::count_if(plan.boards.begin(), plan.boards.end(),
                      [](const BoardFacts& b) { return b.run->outcome == Outcome::Ok; }));
    const int status = planStatus(plan);
    std::string html = formatted(
        "<div class=\"verdict %s\"><p class=\"big\">%s of %s boards ended OK</p>\n"
        "<p>exit status %d: %s",
        status == 0 ? "ok" : "nok", countText(ok).c_str(), countText(total).c_str(), status,
        statusMeaning(status));
    std::string counts;
    for (Outcome outcome : {Outcome::Nok, Outcome::NoFinalNotice, Outcome::Seeding}) {
        const auto n =
            std::count_if(plan.boards.begin(), plan.boards.end(),
                          [&](const BoardFacts& b) { return b.run->outcome == outcome; });
        if (n > 0)
            counts += formatted("%s%s %s", counts.empty() ? "" : ", ",
                                countText(static_cast<std::size_t>(n)).c_str(),
                                outcome == Outcome::Nok             ? "NOK"
                                : outcome == Outcome::NoFinalNotice ? "with no final notice"
                                                                    : "not rehearsed");
    }
    return html + (counts.empty() ? "</p></div>\n" : " (" + counts + ")</p></div>\n");
}

// The image and the kind of durations.
std::string factsHtml(const Plan& plan) {
    return "<table class=\"facts\"><tr><th>image</th><td>" + markupEscaped(plan.image.name) +
           "</td></tr>\n<tr><th>SHA-256</th><td><code>" + markupEscaped(plan.image.sha256) +
           "</code></td></tr>\n<tr><th>signature</th><td>" +
           markupEscaped(plan.image.signer.empty() ? "not known" : plan.image.signer) +
           "</td></tr>\n<tr><th>durations</th><td>" + (plan.measured ? "measured" : "predicted") +
           " at the boards' speed</td></tr>\n</table>\n";
}

// Boards' names for a cell, each kept on one line: "a, b, c and 37 more" past limit.
std::string namesHtml(const std::vector<std::string>& names, std::size_t limit) {
    std::string html;
    for (std::size_t n = 0; n < names.size() && n < limit; ++n)
        html += (n == 0 ? "" : ", ") + std::string("<span class=\"name\">") +
                markupEscaped(names[n]) + "</span>";
    if (names.size() > limit) html += formatted(" and %zu more", names.size() - limit);
    return html;
}

std::vector<std::string> names(const std::vector<BoardFacts>& boards,
                               const std::vector<std::size_t>& indices) {
    std::vector<std::string> list;
    for (std::size_t i : indices) list.push_back(boards[i].name);
    return list;
}

std::string groupLink(std::size_t g) {
    return formatted("<a href=\"#group-%zu\">%zu</a>", g + 1, g + 1);
}

// Lines as one cell's text.
std::string joined(const std::vector<std::string>& lines, const char* between = "; ") {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : between) + line;
    return text;
}

// The kinds of outcome, failures first: what a reader takes in on the first screen.
std::string kindsHtml(const Plan& plan, const std::vector<OutcomeKind>& kinds) {
    std::string html =
        "<h2>Outcomes</h2>\n<table class=\"kinds\"><thead><tr><th>outcome</th><th>boards</th>"
        "<th>what the update does</th><th>groups</th></tr></thead><tbody>\n";
    for (const OutcomeKind& kind : kinds) {
        const Outcome outcome = plan.boards[plan.groups[kind.groups[0]].members[0]].run->outcome;
        std::string groups =
            kind.groups.size() == 1 ? "1 group: " : countText(kind.groups.size()) + " groups: ";
        for (std::size_t n = 0; n < kind.groups.size() && n < 12; ++n)
            groups += (n == 0 ? "" : ", ") + groupLink(kind.groups[n]);
        if (kind.groups.size() > 12) groups += formatted(" and %zu more", kind.groups.size() - 12);
        if (!kind.differIn.empty())
            groups += "<br><span class=\"small\">which differ in: " +
                      markupEscaped(joined(kind.differIn, ", ")) + "</span>";
        html += std::string("<tr class=\"") + outcomeClass(outcome) + "\">" + outcomeCell(outcome) +
                "<td class=\"n\">" + countText(kind.boards) + "</td><td class=\"what\">" +
                markupEscaped(kind.name) + "</td><td class=\"text\">" + groups + "</td></tr>\n";
    }
    return html + "</tbody></table>\n";
}

// The groups inside their kinds: each kind's line, then its groups' size, what the update does
// to them, what their twins differed in (a column only when a group's did) and some boards.
std::string groupsHtml(const Plan& plan, const std::vector<OutcomeKind>& kinds) {
    const bool twins = std::any_of(plan.groups.begin(), plan.groups.end(),
                                   [](const BoardGroup& g) { return !g.twinsDifferIn.empty(); });
    std::string html = std::string(
                           "<h2>Groups</h2>\n<table class=\"groups\"><thead><tr><th>group</th>"
                           "<th>boards</th><th>details</th>") +
                       (twins ? "<th>twins differ in</th>" : "") +
                       "<th>board names</th></tr></thead>\n";
    for (const OutcomeKind& kind : kinds) {
        const Outcome outcome = plan.boards[plan.groups[kind.groups[0]].members[0]].run->outcome;
        html += std::string("<tbody><tr class=\"kind ") + outcomeClass(outcome) +
                formatted("\"><th colspan=\"%d\">", twins ? 5 : 4) +
                markupEscaped(kindSummary(kind)) + "</th></tr>\n";
        for (std::size_t g : kind.groups) {
            const BoardGroup& group = plan.groups[g];
            html += std::string("<tr class=\"") + outcomeClass(outcome) + "\"><td class=\"n\">" +
                    groupLink(g) + "</td><td class=\"n\">" + countText(group.members.size()) +
                    "</td><td class=\"text\">" + markupEscaped(groupChanges(plan.boards, group)) +
                    "</td>" +
                    (twins ? "<td class=\"text\">" +
                                 markupEscaped(joined(group.twinsDifferIn, ", ")) + "</td>"
                           : "") +
                    "<td class=\"names\">" + namesHtml(names(plan.boards, group.members), 8) +
                    "</td></tr>\n";
        }
        html += "</tbody>\n";
    }
    return html + "</table>\n";
}

// A line of the comparison as its columns: what, with the old image, with the new one.
struct DifferenceRow {
    std::string what, old, now;
};
DifferenceRow differenceRow(const std::string& line) {
    // A line of /etc that one image's run took out or put in and the other's did not ("/etc
    // now: service.txt -LINE"): the line is the what, each side says what its run did with it,
    // so that no "-" of a removed line stands beside a "-" for nothing.
    for (const auto& [prefix, old] : {std::pair{"/etc no longer: ", true}, {"/etc now: ", false}}) {
        if (!line.starts_with(prefix)) continue;
        const std::string rest = line.substr(std::string(prefix).size());
        const std::size_t space = rest.find(' ');
        if (space == std::string::npos || space + 1 == rest.size()) break;
        const bool added = rest[space + 1] == '+';
        const std::string done = added ? "added" : "removed", left = added ? "not added" : "kept";
        return {"/etc/" + rest.substr(0, space) + ": " + rest.substr(space + 2), old ? done : left,
                old ? left : done};
    }
    const struct {
        const char* prefix;
        const char* what;
        bool old;
    } sides[] = {{"no longer fails: ", "failing step", true},
                 {"now fails: ", "failing step", false}};
    for (const auto& side : sides) {
        if (!line.starts_with(side.prefix)) continue;
        const std::string rest = line.substr(std::string(side.prefix).size());
        return side.old ? DifferenceRow{side.what, rest, "-"} : DifferenceRow{side.what, "-", rest};
    }
    const std::size_t colon = line.find(": ");
    const std::size_t arrow = colon == std::string::npos ? colon : line.find(" -> ", colon);
    if (arrow == std::string::npos) return {line, "", ""};
    return {line.substr(0, colon), line.substr(colon + 2, arrow - colon - 2),
            line.substr(arrow + 4)};
}

// One group of the comparison: its boards beside each difference, a changed outcome first and
// set apart.
std::string comparisonGroupHtml(const DifferenceGroup& group) {
    const std::size_t count = group.boards.size();
    const std::string boardsCell =
        formatted(
            "<td rowspan=\"%zu\" class=\"names\"><span class=\"count\">%zu board%s:"
            "</span> ",
            std::max<std::size_t>(group.differences.size(), 1), count, count == 1 ? "" : "s") +
        namesHtml(group.boards, 20) + "</td>";
    if (group.differences.empty())
        return "<tbody><tr class=\"alike\">" + boardsCell +
               "<td colspan=\"3\">alike: the same outcome and changes</td></tr></tbody>\n";
    std::vector<DifferenceRow> rows;
    for (const std::string& line : group.differences) rows.push_back(differenceRow(line));
    std::stable_partition(rows.begin(), rows.end(),
                          [](const DifferenceRow& row) { return row.what == "outcome"; });
    std::string html = "<tbody>";
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const bool outcome = rows[r].what == "outcome";
        html += std::string("<tr") + (outcome ? " class=\"outcome\"" : "") + ">" +
                (r == 0 ? boardsCell : "") + "<td>" + markupEscaped(rows[r].what) +
                "</td><td class=\"old\">" + markupEscaped(rows[r].old) + "</td><td class=\"new\">" +
                markupEscaped(rows[r].now) + "</td></tr>\n";
    }
    return html + "</tbody>\n";
}

std::string comparisonHtml(const Plan& plan) {
    const Comparison& comparison = *plan.comparison;
    std::string html = "<h2>Against " + markupEscaped(comparison.oldImage.name) + "</h2>\n" +
                       "<p>What " + markupEscaped(plan.image.name) + " does differently from " +
                       markupEscaped(comparison.oldImage.name) +
                       " on the same boards; a changed outcome comes first, marked.</p>\n" +
                       "<table class=\"compare\"><thead><tr><th>boards</th><th>what</th><th>with " +
                       markupEscaped(comparison.oldImage.name) + "</th><th>with " +
                       markupEscaped(plan.image.name) + "</th></tr></thead>\n";
    for (const DifferenceGroup& group : comparison.groups) html += comparisonGroupHtml(group);
    return html + "</table>\n";
}

// A run's cells of the boards table, which its boards share: outcome (its class and word),
// firmware after, keys, sectors, /etc lines, seconds, trust, failed steps or folder errors.
Json runCells(const Plan& plan, const BoardFacts& board) {
    const RunFacts& run = *board.run;
    const bool ran = board.ran();
    std::vector<std::string> failed;
    for (const StepFacts& step : run.steps)
        if (stepFailed(step))
            failed.push_back(step.name + (step.result == "NOK" ? "" : ": " + step.result));
    auto count = [&](std::uint64_t n) { return ran ? std::to_string(n) : "-"; };
    return Json::array(
        {outcomeClass(run.outcome),
         run.outcome == Outcome::Seeding ? "not rehearsed" : outcomeName(run.outcome),
         ran ? run.firmwareAfter : "-", count(run.keys.size()), count(run.flash.sectorsErased),
         count(run.etc.size()), run.duration ? formatted("%.1f", *run.duration) : "-",
         ran ? trustCell(run.trust, plan.image.signer) : "-",
         joined(ran ? failed : run.seedErrors)});
}

// Every board, in the order of its group (failures first). The table's rows are drawn by the
// script from a list embedded once (a board's own cells and its run's number, each run's
// cells and each text of the boards' seeding once), as a page of ten
// thousand rows of markup would be megabytes; the kinds and groups above need no script.
void writeBoardsHtml(const Plan& plan, const std::function<void(const std::string&)>& write) {
    write(std::string(
              "<h2>Boards</h2>\n<noscript><p>The table of boards is drawn by the page's script; "
              "without it, each group above lists its boards, and the plan's JSON every board."
              "</p></noscript>\n<div class=\"wide\"><table id=\"boards\" class=\"boards\"><thead>"
              "<tr><th>board</th><th>group</th><th>outcome</th><th>flash size</th>"
              "<th>assumed from the sample</th><th>notes</th><th>firmware after</th><th>keys</th>"
              "<th>sectors</th><th>/etc</th><th>seconds (") +
          (plan.measured ? "measured" : "predicted") +
          ")</th><th>trust</th><th>failed steps or folder errors</th></tr></thead><tbody></tbody>"
          "</table></div>\n<script type=\"application/json\" id=\"board-data\">{\"runs\":[");
    // ("</" in a name can't end the script: JSON's "\/" stands for "/".) Copied forwards, not
    // by inserts, which gcc 12 at -O3 takes for an overlapping copy on a 32-bit build.
    auto embedded = [](const Json& value) {
        const std::string json = jsonText(value);
        std::string text;
        text.reserve(json.size());
        for (std::size_t i = 0; i < json.size(); ++i) {
            text += json[i];
            if (json[i] == '<' && i + 1 < json.size() && json[i + 1] == '/') text += '\\';
        }
        return text;
    };
    std::map<const RunFacts*, std::size_t> runOf;
    for (const BoardFacts& board : plan.boards) {
        if (!runOf.emplace(board.run.get(), runOf.size()).second) continue;
        write((runOf.size() == 1 ? "\n" : ",\n") + embedded(runCells(plan, board)));
    }
    write("],\n\"boards\":[");
    // The boards' seeding texts, each once: thousands of boards share a few.
    std::map<std::string, std::size_t> textOf;
    std::vector<std::string> texts;
    auto text = [&](const std::string& value) {
        auto [known, added] = textOf.emplace(value, texts.size());
        if (added) texts.push_back(value);
        return known->second;
    };
    bool first = true;
    for (std::size_t g = 0; g < plan.groups.size(); ++g) {
        for (std::size_t i : plan.groups[g].members) {
            const BoardFacts& board = plan.boards[i];
            std::vector<std::string> pieces;
            for (const std::string& piece : board.assumed)
                pieces.push_back(piece.substr(0, piece.find(':')));
            // The board's place in the names' order sorts its name.
            const Json row = Json::array({board.name, g + 1, runOf.at(board.run.get()), i,
                                          board.flashSize ? Json(*board.flashSize) : Json("-"),
                                          text(joined(pieces)), text(joined(board.notes))});
            write((first ? "\n" : ",\n") + embedded(row));
            first = false;
        }
    }
    write("],\n\"texts\":" + embedded(texts) + "}\n</script>\n");
}

// A group once: what its boards were seeded with and what the update did, and the timeline of
// its first board; for a group after the first of its kind the kind's first group's timeline
// stands for it (the same steps, the same outcome: a page of a large fleet would otherwise
// carry hundreds of nearly equal charts).
std::string groupDetailHtml(const Plan& plan, std::size_t g, std::size_t kindsFirst) {
    const BoardGroup& group = plan.groups[g];
    const BoardFacts& first = plan.boards[group.members.front()];
    const std::size_t count = group.members.size();
    return formatted("<section class=\"group %s\" id=\"group-%zu\"><h3>Group %zu: ",
                     outcomeClass(first.run->outcome), g + 1, g + 1) +
           markupEscaped(groupName(plan.boards, group)) +
           formatted(" (%zu board%s)</h3>\n<pre>", count, count == 1 ? "" : "s") +
           markupEscaped(groupText(plan, group)) + "</pre>\n" +
           (kindsFirst != g
                ? "<p>Timeline: as group " + groupLink(kindsFirst) + "'s, of the same kind.</p>\n"
                : timelineSvg(first,
                              plan.image.name + " on " + first.name +
                                  (count > 1 ? " (the group's first board)" : ""),
                              plan.measured)) +
           "</section>\n";
}

constexpr const char* kStyle = R"(<style>
body{font-family:sans-serif;margin:1.5em;color:#111;max-width:1400px}
h1{margin:0 0 .4em}h2{margin-top:1.6em;border-bottom:1px solid #ccc}
table{border-collapse:collapse;margin:.5em 0;max-width:100%}
td,th{padding:3px 8px;text-align:left;vertical-align:top;border-bottom:1px solid #e4e4e4}
td{overflow-wrap:break-word}td.n{white-space:nowrap}
td.name,td.names,td.text,td.notes,td.failed,.compare td{overflow-wrap:anywhere}
@media (min-width:1200px){td.firmware{white-space:nowrap}td.notes{overflow-wrap:break-word}}
span.name{display:inline-block}td.names{min-width:12em}td.name{min-width:7em}td.failed{min-width:8em}
.boards{font-size:.85em}.boards td,.boards th{padding:3px 4px}
.small{font-size:.85em;color:#444}
td.what{min-width:12em}div.wide{overflow-x:auto}
th{background:#f0f0f0}td.n{text-align:right}
.groups tr.kind th{background:#e8e8e8;font-size:1.05em}.groups tr.kind.nok th,.groups tr.kind.broke th{background:#fbd5da}
.groups tr.kind.wrong th{background:#fde7c4}.groups tr.kind.ok th{background:#d8f0dd}.groups tbody{border-top:2px solid #999}
.kinds td.what{font-weight:bold}
.verdict{padding:.6em 1em;border-radius:6px;border:2px solid;margin:.5em 0}
.verdict p{margin:.2em 0}.verdict .big{font-size:1.6em;font-weight:bold}
.verdict.ok{border-color:#1a7f37;background:#e9f6ec}.verdict.nok{border-color:#b00020;background:#fdecee}
.facts th{background:none;font-weight:normal;color:#555}
.badge{padding:1px 6px;border-radius:3px;font-weight:bold;white-space:nowrap}
.badge.ok{background:#d8f0dd;color:#1a7f37}.badge.nok{background:#fbd5da;color:#b00020}
.badge.broke{background:#b00020;color:#fff}.badge.wrong{background:#fde7c4;color:#8a4b00}
tr.nok td,tr.broke td{background:#fff6f7}tr.wrong td{background:#fffaf0}
.compare td.old{background:#fdecee}.compare td.new{background:#e9f6ec}
.compare tbody{border-top:2px solid #999}
.compare tr.outcome td{font-weight:bold;font-size:1.1em}.compare tr.outcome td.names{font-weight:normal;font-size:1em}
.compare tr.outcome td.old,.compare tr.outcome td.new{outline:2px solid #b00020;outline-offset:-2px}
.compare tr.alike td{color:#555}.compare td.names{max-width:22em}
.boards th[data-sort]{cursor:pointer}.boards th[aria-sort=ascending]::after{content:" \25b2"}
.boards th[aria-sort=descending]::after{content:" \25bc"}
input.filter{margin:.3em 0;padding:4px;width:24em}
section.group{margin:1em 0;padding-left:.8em;border-left:4px solid #1a7f37}
section.group.nok,section.group.broke{border-left-color:#b00020}
section.group.wrong{border-left-color:#d08000}
pre{background:#f6f6f6;padding:.5em;white-space:pre-wrap}
svg{max-width:100%;height:auto}
@media print{
body{margin:0;font-size:8pt;max-width:none}input.filter{display:none}
td,th,.boards td,.boards th{padding:2px 4px}table{width:100%}div.wide{overflow:visible}td.what,td.failed,td.name,td.names{min-width:0}td.small{overflow-wrap:anywhere}
*{-webkit-print-color-adjust:exact;print-color-adjust:exact}
a{color:inherit;text-decoration:none}tr,svg{break-inside:avoid}h2,h3{break-after:avoid}
.boards th::after{content:none!important}
}
</style>
)";

// The boards table's rows from the list embedded (a board: name, group, run, place in the
// names' order, flash size, the texts of its assumed pieces and of its notes; a run: outcome's
// class and word, firmware, keys, sectors, /etc, seconds, trust, failed), then sorting by a
// column's head and filtering by a text.
constexpr const char* kScript = R"(<script>
(function () {
  var table = document.getElementById("boards"), data = document.getElementById("board-data");
  if (!table || !data) return;
  data = JSON.parse(data.textContent);
  var body = table.tBodies[0];
  function cell(row, text, type) {
    var td = row.insertCell();
    if (type) td.className = type;
    td.textContent = text;
    return td;
  }
  var rows = data.boards.map(function (board) {
    var run = data.runs[board[2]], row = document.createElement("tr");
    row.className = run[0];
    cell(row, board[0], "name").setAttribute("data-key", board[3]);
    var link = document.createElement("a");
    link.href = "#group-" + board[1];
    link.textContent = board[1];
    cell(row, "", "n").appendChild(link);
    var badge = document.createElement("span");
    badge.className = "badge " + run[0];
    badge.textContent = run[1];
    cell(row, "", "").appendChild(badge);
    cell(row, board[4], "n");
    cell(row, data.texts[board[5]], "small");
    cell(row, data.texts[board[6]], "notes");
    cell(row, run[2], "firmware");
    [3, 4, 5, 6].forEach(function (n) { cell(row, run[n], "n"); });
    cell(row, run[7], "trust");
    cell(row, run[8], "failed");
    body.appendChild(row);
    return row;
  });
  var filter = document.createElement("input");
  filter.type = "search";
  filter.className = "filter";
  filter.placeholder = "Filter the boards: a name, an outcome, a step...";
  table.parentNode.insertBefore(filter, table);
  filter.addEventListener("input", function () {
    var text = filter.value.toLowerCase();
    rows.forEach(function (row) {
      row.hidden = text !== "" && row.textContent.toLowerCase().indexOf(text) < 0;
    });
  });
  var heads = table.tHead.rows[0].cells;
  Array.prototype.forEach.call(heads, function (head, column) {
    head.setAttribute("data-sort", "");
    head.title = "Sort by " + head.textContent;
    head.addEventListener("click", function () {
      var order = head.getAttribute("aria-sort") === "ascending" ? -1 : 1;
      Array.prototype.forEach.call(heads, function (h) { h.removeAttribute("aria-sort"); });
      head.setAttribute("aria-sort", order > 0 ? "ascending" : "descending");
      rows.sort(function (a, b) {
        var keyX = a.cells[column].getAttribute("data-key");
        var keyY = b.cells[column].getAttribute("data-key");
        if (keyX !== null && keyY !== null) return order * (keyX - keyY);
        var x = a.cells[column].textContent, y = b.cells[column].textContent;
        var p = parseFloat(x), q = parseFloat(y);
        return order * (isNaN(p) || isNaN(q) ? x.localeCompare(y) : p - q);
      });
      rows.forEach(function (row) { body.appendChild(row); });
    });
  });
})();
</script>
)";

}  // namespace

void writePlanPage(const Plan& plan, const std::function<void(const std::string&)>& write) {
    write("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" +
          markupEscaped(plan.image.name) + ": rehearsal on " + std::to_string(plan.boards.size()) +
          " boards</title>\n" + kStyle + "</head><body>\n<h1>" + markupEscaped(plan.image.name) +
          " on " + countText(plan.boards.size()) + " board" + (plan.boards.size() == 1 ? "" : "s") +
          "</h1>\n");
    const std::vector<OutcomeKind> kinds = outcomeKinds(plan.boards, plan.groups);
    write(verdictHtml(plan) + kindsHtml(plan, kinds) + factsHtml(plan) + groupsHtml(plan, kinds));
    if (plan.comparison) write(comparisonHtml(plan));
    writeBoardsHtml(plan, write);
    write("<h2>Groups in detail</h2>\n");
    for (const OutcomeKind& kind : kinds)
        for (std::size_t g : kind.groups) write(groupDetailHtml(plan, g, kind.groups.front()));
    write(std::string(kScript) + "</body></html>\n");
}

std::string planPage(const Plan& plan) {
    std::string page;
    writePlanPage(plan, [&](const std::string& piece) { page += piece; });
    return page;
}
