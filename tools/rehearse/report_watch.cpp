#include "tools/rehearse/report_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "tools/common/formatted.h"
#include "tools/common/numbers.h"
#include "tools/common/report_follower.h"
#include "tools/rehearse/board_facts.h"

namespace {

constexpr const char* kTmp = "/tmp";

double now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string daemonTicks() {
    std::string pid = readText(std::string(kTmp) + "/daemon.pid");
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
    if (pid.empty()) return "-";
    return processorTicks(readText("/proc/" + pid + "/stat"),
                          readText("/proc/" + pid + "/schedstat"));
}

}  // namespace

std::string reportStamp(double epoch, const std::string& cpu, const std::string& what,
                        double before) {
    return formatted("%.6f %s %s %.6f\n", epoch, cpu.c_str(), what.c_str(), before);
}

std::string processorTicks(const std::string& stat, const std::string& schedstat) {
    // The command's name, in parentheses, may hold blanks: the fields count after its end.
    std::size_t end = stat.rfind(')');
    if (end == std::string::npos) return "-";
    std::istringstream in(stat.substr(end + 1));
    std::vector<std::string> fields;
    for (std::string field; in >> field;) fields.push_back(field);
    // utime, stime, cutime, cstime: fields 14 to 17 of the whole line, 12 to 15 after ")".
    if (fields.size() < 15) return "-";
    std::uint64_t ticks = 0;
    for (std::size_t i = 11; i < 15; ++i) {
        std::optional<std::uint64_t> field = unsignedNumber(fields[i]);
        if (!field) return "-";
        ticks += *field;
    }
    // schedstat: the time on a processor, the time waiting for one, the slices (nanoseconds).
    std::istringstream sched(schedstat);
    long long onProcessor = 0, waited = 0;
    if (sched >> onProcessor >> waited) return std::to_string(ticks) + "/" + std::to_string(waited);
    return std::to_string(ticks);
}

bool watchReport(std::FILE* out, const std::string& stopFile) {
    int watch = inotify_init1(IN_CLOEXEC);
    if (watch < 0) return false;
    // The folder, not the file: the report may not exist yet, and the stop file appears there.
    if (inotify_add_watch(watch, kTmp, IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        close(watch);
        return false;
    }
    // From the report's start: the board's report is new, and the watch may start after the
    // daemon has written to it.
    ReportFollower follower;
    std::size_t stamped = 0;
    double before = now();
    const std::string stopPath = std::string(kTmp) + "/" + stopFile;
    for (;;) {
        double seen = now();
        followReport(follower);
        // A report that the follower found begun again is stamped anew from its first step.
        if (follower.shown.steps < stamped) stamped = 0;
        std::string cpu;
        while (stamped < follower.shown.steps) {
            if (cpu.empty()) cpu = daemonTicks();
            ++stamped;
            std::fputs(reportStamp(seen, cpu, "started " + std::to_string(stamped), before).c_str(),
                       out);
        }
        if (follower.shown.finished) {
            std::fputs(
                reportStamp(seen, cpu.empty() ? daemonTicks() : cpu, "finished", before).c_str(),
                out);
            break;
        }
        std::fflush(out);
        before = seen;
        if (std::filesystem::exists(stopPath)) break;
        char events[4096];
        if (read(watch, events, sizeof events) < 0 && errno != EINTR) break;
    }
    std::fflush(out);
    close(watch);
    return true;
}

bool stampLines(std::FILE* in, std::FILE* out) {
    char* line = nullptr;
    std::size_t capacity = 0;
    for (ssize_t length; (length = getline(&line, &capacity, in)) >= 0;) {
        std::string text(line, static_cast<std::size_t>(length));
        if (text.ends_with('\n')) text.pop_back();
        std::fputs(formatted("%.6f %s %s\n", now(), daemonTicks().c_str(), text.c_str()).c_str(),
                   out);
        std::fflush(out);
    }
    std::free(line);
    return std::ferror(in) == 0 && std::ferror(out) == 0;
}
