// On the board, beside a rehearsed update: when each step of the update report begins and when
// the update ends, as the peer's report follower sees the report, woken by each write to it.
#pragma once

#include <cstdio>
#include <string>

// One stamp line: "EPOCH CPU started N BEFORE" when the report shows its Nth step begun,
// "EPOCH CPU finished BEFORE" at its finishing line. EPOCH: when it was seen (seconds since
// 1970); BEFORE: when the report was last read without it; CPU: the daemon's processor time
// then (itself and its reaped children, in clock ticks; "-" when it isn't running), after a
// "/" the time it waited for a processor while it could run (nanoseconds), when known.
std::string reportStamp(double epoch, const std::string& cpu, const std::string& what,
                        double before);

// The daemon's processor time from the texts of its /proc/PID/stat and /proc/PID/schedstat
// ("" when missing); "-" when it can't tell.
std::string processorTicks(const std::string& stat, const std::string& schedstat);

// Watches /tmp/update.log until the update's end, or until the file stopFile appears in /tmp,
// and writes the stamps to out. The daemon's process id is read from /tmp/daemon.pid. False
// when the watch could not be set up.
bool watchReport(std::FILE* out, const std::string& stopFile);

// Each line of in to out as it comes, after the time and the daemon's processor time then, as
// the stamps above: "EPOCH CPU LINE". False when in or out failed.
bool stampLines(std::FILE* in, std::FILE* out);
