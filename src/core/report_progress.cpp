#include "core/report_progress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/file_util.h"
#include "core/log.h"
#include "core/work_files.h"

namespace {

// The progress text shown last, as the report's last bytes.
char shown[64] = "";

void remember(const char* text) { std::snprintf(shown, sizeof shown, "%s", text); }

// True when the report's last bytes are still the progress text shown last, with blanks more
// blanks before it.
bool reportEndsWithShown(std::size_t blanks = 0) {
    std::size_t length = std::strlen(shown);
    if (length == 0) return false;
    std::size_t tailLength = blanks + length;
    int fd = openOwnFile(nullptr, kUpdateReportPath, O_RDONLY);
    FileStream report(fd < 0 ? nullptr : fdopen(fd, "r"));
    if (fd >= 0 && !report) close(fd);
    if (!report || std::fseek(report.get(), -static_cast<long>(tailLength), SEEK_END) != 0)
        return false;
    char tail[2 * sizeof shown] = "";
    if (tailLength > sizeof tail) return false;
    std::size_t read = std::fread(tail, 1, tailLength, report.get());
    if (read != tailLength) return false;
    // Split without substr's range check: blanks is within the tail, and the check would bring
    // its own copy of the standard library's error text into this object.
    std::string_view spaces(tail, blanks);
    std::string_view rest(tail + blanks, length);
    return spaces.find_first_not_of(' ') == std::string_view::npos &&
           rest == std::string_view(shown, length);
}

}  // namespace

void startProgress(const char* text) {
    appendText(kUpdateReportPath, text);
    remember(text);
}

void showProgress(const char* text) {
    std::size_t length = std::strlen(text);
    std::size_t replaced = std::strlen(shown);
    if (!reportEndsWithShown()) {
        appendText(kUpdateReportPath, text);
    } else if (length <= replaced) {
        changeLastBytesInFile(kUpdateReportPath, text, length);
    } else if (reportEndsWithShown(length - replaced)) {
        // A longer text takes the blanks before the shown one too ("started ... 100 percent "
        // in place of "started ...   0 percent ").
        changeLastBytesInFile(kUpdateReportPath, text, length);
    } else {
        // Otherwise it takes the place of the shown one and goes on behind it, so that what
        // stands before it (the line feed or the end of an error text) stays.
        changeLastBytesInFile(kUpdateReportPath, text, replaced);
        appendText(kUpdateReportPath, text + replaced);
    }
    remember(text);
}

void startPercent(int percent) {
    char text[kPercentLength + 1];
    std::snprintf(text, sizeof text, kPercentFormat, percent);
    startProgress(text);
}

void showPercent(int percent) {
    char text[kPercentLength + 1];
    std::snprintf(text, sizeof text, kPercentFormat, percent);
    showProgress(text);
}
