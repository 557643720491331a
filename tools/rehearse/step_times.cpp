#include "tools/rehearse/step_times.h"

#include <algorithm>
#include <cmath>
#include <sstream>

#include "tools/common/numbers.h"
#include "tools/common/update_report.h"

namespace {

constexpr double kSecondsADay = 86400;
constexpr double kBitsAByte = 10;  // 8N1
constexpr const char* kImageCheck = "Image check";

// The daemon's processor time so far, and the time it waited for a processor while it could
// run: a loaded machine's, which a board would not have.
struct Processor {
    double ticks = 0;
    double waitedNs = 0;
};

struct Phase {
    StepFacts facts;
    double start = 0;       // when it began, seconds since the midnight before the run
    double seenBefore = 0;  // the last read of the report that did not show it begun
    Processor cpuAt;        // the daemon's processor time then
    double lineBytes = 0, sectors = 0, words = 0;
    bool stamped = false;  // its start is known
};

struct Timeline {
    std::vector<Phase> phases;
    double midnight = -1, begin = 0;
    Processor lastCpu;
    bool finished = false;
    double finish = 0;
    Processor cpuEnd;
    // The line being read, which a number that isn't one is told by.
    std::string path;
    std::size_t line = 0;

    double number(std::string_view text) const { return decimalAt(text, path, line); }
    void readingFrom(const std::string& file) {
        path = file;
        line = 0;
    }
    double runTime(const std::string& epoch) { return runTime(number(epoch)); }
    double runTime(double epoch) {
        if (midnight < 0) {
            midnight = std::floor(epoch / kSecondsADay) * kSecondsADay;
            begin = epoch - midnight;
        }
        return epoch - midnight;
    }
    // A time of day of a device's log, as seconds from the midnight before the run began.
    double dayTime(const std::string& text) const {
        std::size_t first = text.find(':'), second = text.find(':', first + 1);
        if (second == std::string::npos) throw BadInputLine{path, line, "not a time: " + text};
        double t = number(text.substr(0, first)) * 3600 +
                   number(text.substr(first + 1, second - first - 1)) * 60 +
                   number(text.substr(second + 1));
        return t < begin - kSecondsADay / 2 ? t + kSecondsADay : t;
    }
    // A stamp without the daemon's processor time (it had ended, or not begun) takes the
    // largest one seen, as processor time only grows: a step's work is never negative.
    // "TICKS" or "TICKS/WAITED_NS".
    Processor processor(const std::string& text) {
        if (text == "-") return lastCpu;
        std::size_t slash = text.find('/');
        Processor now{number(text.substr(0, slash)), 0};
        if (slash != std::string::npos) now.waitedNs = number(text.substr(slash + 1));
        lastCpu.ticks = std::max(lastCpu.ticks, now.ticks);
        lastCpu.waitedNs = std::max(lastCpu.waitedNs, now.waitedNs);
        return now;
    }
    // The report is seen some time after it was written. A step begins by its own device work
    // (a sector erased) but ends by the answer it waited for; so in the time between the last
    // read that did not show a step begun and the one that did, the flash's work counts to
    // the new step and the module line's packets to the one before.
    Phase* phaseAt(double t, bool early) {
        for (std::size_t p = phases.size(); p-- > 0;) {
            if (!phases[p].stamped) continue;
            if (t >= (early ? phases[p].seenBefore : phases[p].start)) return &phases[p];
        }
        return nullptr;  // before the update began: none of its work
    }
};

// "step 3/10 Compare PS-Keys: started": the step's number, label and status.
bool parseStepLine(const std::string& line, std::size_t* number, std::string* label,
                   std::string* status) {
    if (!line.starts_with("step ")) return false;
    std::size_t slash = line.find('/'), blank = line.find(' ', 5), colon = line.rfind(": ");
    if (slash == std::string::npos || blank == std::string::npos || colon == std::string::npos ||
        colon < blank)
        return false;
    *number = std::strtoul(line.c_str() + 5, nullptr, 10);
    *label = line.substr(blank + 1, colon - blank - 1);
    label->erase(label->find_last_not_of(' ') + 1);
    *status = line.substr(colon + 2);
    return *number > 0;
}

void readPeerTimes(Timeline& timeline, const std::string& path, bool* finalNok) {
    timeline.readingFrom(path);
    for (const std::string& stamped : splitLines(readText(path))) {
        ++timeline.line;
        std::istringstream in(stamped);
        std::string epoch, cpu;
        if (!(in >> epoch >> cpu)) continue;
        std::string line;
        std::getline(in >> std::ws, line);
        double t = timeline.runTime(epoch);
        Processor ticks = timeline.processor(cpu);
        if (timeline.phases.empty()) {
            Phase first;
            first.facts.name = kImageCheck;
            first.start = first.seenBefore = t;
            first.stamped = true;
            first.cpuAt = ticks;
            timeline.phases.push_back(first);
        }
        if (line.find("param 2 text \"NOK\"") != std::string::npos) *finalNok = true;
        std::size_t number;
        std::string label, status;
        if (!parseStepLine(line, &number, &label, &status)) continue;
        if (timeline.phases.size() < number + 1) timeline.phases.resize(number + 1);
        StepFacts& step = timeline.phases[number].facts;
        step.name = label;
        if (status == "started") {
            step.result = kNoResult;
        } else if (!status.ends_with('%')) {
            step.result = status;
        }
    }
}

// "EPOCH CPU started N SEEN_BEFORE", "EPOCH CPU finished SEEN_BEFORE".
void readReportTimes(Timeline& timeline, const std::string& path) {
    timeline.readingFrom(path);
    for (const std::string& line : splitLines(readText(path))) {
        ++timeline.line;
        std::istringstream in(line);
        std::string epoch, cpu, what;
        if (!(in >> epoch >> cpu >> what)) continue;
        if (what == "started") {
            std::size_t number = 0;
            std::string seen;
            if (!(in >> number >> seen) || number == 0) continue;
            if (timeline.phases.size() < number + 1) timeline.phases.resize(number + 1);
            Phase& phase = timeline.phases[number];
            phase.start = timeline.runTime(epoch);
            phase.cpuAt = timeline.processor(cpu);
            phase.seenBefore = timeline.runTime(seen);
            phase.stamped = true;
        } else if (what == "finished") {
            timeline.finished = true;
            timeline.finish = timeline.runTime(epoch);
            timeline.cpuEnd = timeline.processor(cpu);
        }
    }
}

// The module's trace ("TIME DEVICE host>module 01 03 0c 00 | ..."), the flash's log ("TIME
// erase ADDRESS sectors N") and the DFU program's ("TIME download N bytes, M on the line").
void readDeviceLogs(Timeline& timeline, const std::string& dir) {
    timeline.readingFrom(dir + "/state/module.log");
    for (const std::string& line : splitLines(readText(timeline.path))) {
        ++timeline.line;
        std::istringstream in(line);
        std::string time, device, direction, byte;
        if (!(in >> time >> device >> direction)) continue;
        if (direction != "host>module" && direction != "module>host") continue;
        Phase* phase = timeline.phaseAt(timeline.dayTime(time), false);
        while (phase != nullptr && in >> byte && byte != "|") phase->lineBytes++;
    }
    timeline.readingFrom(dir + "/state/flash.log");
    for (const std::string& line : splitLines(readText(timeline.path))) {
        ++timeline.line;
        std::istringstream in(line);
        std::string time, what, address, unit;
        double count = 0;
        if (!(in >> time >> what >> address >> unit >> count)) continue;
        Phase* phase = timeline.phaseAt(timeline.dayTime(time), true);
        if (phase == nullptr) continue;
        if (what == "erase") phase->sectors += count;
        if (what == "program") phase->words += count;
    }
    timeline.readingFrom(dir + "/state/dfu.log");
    for (const std::string& line : splitLines(readText(timeline.path))) {
        ++timeline.line;
        std::istringstream in(line);
        std::string time, what, bytes, unit;
        double onTheLine = 0;
        if (!(in >> time >> what >> bytes >> unit >> onTheLine) || what != "download") continue;
        if (Phase* phase = timeline.phaseAt(timeline.dayTime(time), false)) {
            phase->lineBytes += onTheLine;
        }
    }
}

// The steps of the to-do list that the update never entered.
void addStepsNotRun(std::vector<StepFacts>& steps, const std::string& dir) {
    std::vector<std::int32_t> todo = todoSteps(readText(dir + "/tmp/update.d/updatetodo.txt"));
    // The first entry is the image's check, the others the steps in the to-do list's order.
    for (std::size_t i = steps.size() - 1; i < todo.size(); ++i) {
        std::string label = stepLabel(todo[i]);
        while (label.ends_with(' ') || label.ends_with(':')) label.pop_back();
        StepFacts step;
        step.name = label;
        step.result = kNotRun;
        steps.push_back(step);
    }
}

double clockSpeed(const std::string& dir) {
    const std::string path = dir + "/state/clock.speed";
    std::vector<std::string> lines = splitLines(readText(path));
    double speed = lines.empty() ? 1 : decimalAt(lines.front(), path, 1);
    return speed >= 1 ? speed : 1;
}

}  // namespace

StepTimes readStepTimes(const std::string& dir, bool atSpeed, const BoardSpeeds& speeds) {
    Timeline timeline;
    bool finalNok = false;
    readPeerTimes(timeline, dir + "/tmp/peer-times.txt", &finalNok);
    readReportTimes(timeline, dir + "/tmp/report-times.txt");
    StepTimes times;
    if (timeline.phases.empty()) return times;
    readDeviceLogs(timeline, dir);
    // The image was taken when a step began; refused when the final NOK came before any.
    timeline.phases.front().facts.result = timeline.phases.size() > 1 ? "OK"
                                           : finalNok                 ? "NOK"
                                                                      : kNoResult;
    const double speed = clockSpeed(dir);
    double at = 0;
    for (std::size_t p = 0; p < timeline.phases.size(); ++p) {
        Phase& phase = timeline.phases[p];
        if (timeline.finished) {
            bool last = p + 1 == timeline.phases.size();
            double end = last ? timeline.finish : timeline.phases[p + 1].start;
            Processor cpuEnd = last ? timeline.cpuEnd : timeline.phases[p + 1].cpuAt;
            double measured = end - phase.start;
            double cpu = (cpuEnd.ticks - phase.cpuAt.ticks) / speeds.ticksPerSecond;
            double waited = (cpuEnd.waitedNs - phase.cpuAt.waitedNs) / 1e9;
            StepFacts& step = phase.facts;
            step.start = at;
            step.wire = phase.lineBytes * kBitsAByte / speeds.baud;
            step.work =
                cpu +
                (phase.sectors * speeds.sectorEraseUs + phase.words * speeds.wordProgramUs) / 1e6;
            if (atSpeed) {
                step.waits = std::max(0.0, measured - step.wire - step.work);
                step.total = measured;
            } else {
                // The time this machine kept the daemon waiting for a processor is no wait
                // of the board's.
                step.waits = std::max(0.0, (measured - cpu - waited) * speed);
                step.total = step.waits + step.wire + step.work;
            }
            at += step.total;
        }
        times.steps.push_back(phase.facts);
    }
    if (timeline.finished) times.duration = at;
    addStepsNotRun(times.steps, dir);
    return times;
}

void assignReasons(std::vector<StepFacts>& steps, const std::string& cause) {
    StepFacts* step = nullptr;
    for (const std::string& line : splitLines(cause)) {
        if (!line.starts_with(' ') && line.ends_with(" failed:")) {
            std::string label = line.substr(0, line.size() - 8);
            if (label == "the update's reception") label = kImageCheck;
            auto found = std::find_if(steps.begin(), steps.end(), [&](const StepFacts& s) {
                return s.name == label && s.reasons.empty();
            });
            step = found == steps.end() ? nullptr : &*found;
        } else if (step != nullptr && line.find_first_not_of(' ') != std::string::npos) {
            step->reasons.push_back(line.substr(line.find_first_not_of(' ')));
        }
    }
}
