#include "core/report_progress.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "core/file_util.h"
#include "core/log.h"

namespace {

// The progress text shown last, as the report's last bytes.
char shown[64] = "";

void remember(const char* text) { std::snprintf(shown, sizeof shown, "%s", text); }

// True when the report's last bytes are still the progress text shown last.
bool reportEndsWithShown() {
    std::size_t length = std::strlen(shown);
    if (length == 0) return false;
    FileStream report(std::fopen(kUpdateReportPath, "r"));
    if (!report || std::fseek(report.get(), -static_cast<long>(length), SEEK_END) != 0)
        return false;
    char tail[sizeof shown] = "";
    std::size_t read = std::fread(tail, 1, length, report.get());
    return read == length && std::string_view(tail, length) == std::string_view(shown, length);
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
    } else {
        // A longer text takes the place of the shown one and goes on behind it, so that the
        // character before it (a blank, or the line feed of an error line) stays.
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
