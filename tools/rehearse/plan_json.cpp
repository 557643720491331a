#include <functional>
#include <map>

#include "tools/common/json_text.h"
#include "tools/rehearse/plan.h"
#include "tools/rehearse/plan_contract.h"

namespace {

// The document as text with empty lists in the places of its runs and boards, which come last;
// the document itself is gone before they are written.
std::string documentText(const Plan& plan, const std::string& producerVersion) {
    const std::vector<OutcomeKind> kinds = outcomeKinds(plan.boards, plan.groups);
    Json kindsJson = Json::array(), groups = Json::array();
    std::vector<std::size_t> kindOf(plan.groups.size());
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        for (std::size_t g : kinds[k].groups) kindOf[g] = k + 1;
        rehearse::to_json(kindsJson.emplace_back(), kinds[k], k + 1);
    }
    for (std::size_t g = 0; g < plan.groups.size(); ++g)
        rehearse::to_json(groups.emplace_back(), plan, g, kindOf[g]);
    std::size_t ok = 0;
    for (const BoardFacts& board : plan.boards) ok += board.run->outcome == Outcome::Ok;
    Json document = {{"format", "btlap-rehearsal"},
                     {"format_version", kPlanFormatVersion},
                     {"producer", {{"name", "rehearse"}, {"version", producerVersion}}}};
    rehearse::to_json(document["image"], plan.image);
    document["durations"] = plan.measured ? "measured" : "predicted";
    document["ok"] = ok;
    document["boards_total"] = plan.boards.size();
    document["exit_status"] = planStatus(plan);
    if (plan.shard) rehearse::to_json(document["shard"], *plan.shard);
    document["kinds"] = std::move(kindsJson);
    document["groups"] = std::move(groups);
    if (plan.comparison) {
        Json differences = Json::array();
        for (const DifferenceGroup& group : plan.comparison->groups)
            rehearse::to_json(differences.emplace_back(), group);
        Json& comparison = document["comparison"];
        rehearse::to_json(comparison["old_image"], plan.comparison->oldImage);
        comparison["groups"] = std::move(differences);
    }
    document["runs"] = Json::array();
    document["boards"] = Json::array();
    return jsonText(document, 2);
}

// items (written one at a time by each) into the place of an empty list, "NAME": [], of text
// from start: what comes before it is written, and where the rest of text begins returned.
std::size_t writeList(const std::string& text, std::size_t start, const std::string& name,
                      std::size_t count, const std::function<std::string(std::size_t)>& item,
                      const std::function<void(const std::string&)>& write) {
    const std::string place = "\"" + name + "\": []";
    const std::size_t at = text.find(place, start) + place.size() - 1;
    write(text.substr(start, at - start));
    for (std::size_t i = 0; i < count; ++i) write((i == 0 ? "\n    " : ",\n    ") + item(i));
    if (count > 0) write("\n  ");
    return at;
}

}  // namespace

void writePlanJson(const Plan& plan, const std::string& producerVersion,
                   const std::function<void(const std::string&)>& write) {
    const std::vector<std::size_t> groupOf = groupOfBoards(plan);
    // Each run once, numbered from 1 in the order of its first board; the boards refer to it.
    std::map<const RunFacts*, std::size_t> runOf;
    std::vector<const RunFacts*> runs;
    for (const BoardFacts& board : plan.boards)
        if (runOf.emplace(board.run.get(), runs.size() + 1).second) runs.push_back(board.run.get());
    const std::string text = documentText(plan, producerVersion);
    std::size_t at = writeList(
        text, 0, "runs", runs.size(),
        [&](std::size_t r) {
            Json item;
            rehearse::to_json(item, *runs[r], plan.image.signer);
            Json numbered = {{"run", r + 1}};
            numbered.update(item);
            std::string lines = jsonText(numbered, 2);
            for (std::size_t n = lines.find('\n'); n != std::string::npos;
                 n = lines.find('\n', n + 5))
                lines.insert(n + 1, "    ");
            return lines;
        },
        write);
    // A board a line: a fleet has thousands.
    at = writeList(
        text, at, "boards", plan.boards.size(),
        [&](std::size_t i) {
            const BoardFacts& board = plan.boards[i];
            rehearse::BoardPlace place{plan.positions.empty() ? i + 1 : plan.positions[i],
                                       groupOf[i] + 1, runOf.at(board.run.get())};
            Json item;
            rehearse::to_json(item, board, place);
            return jsonText(item);
        },
        write);
    write(text.substr(at) + '\n');
}

std::string planJson(const Plan& plan, const std::string& producerVersion) {
    std::string text;
    writePlanJson(plan, producerVersion, [&](const std::string& piece) { text += piece; });
    return text;
}
