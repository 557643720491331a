// Test helper: what a call writes on standard error, each log line's prefix reduced to
// "LOG function: " or "ERR function: ", so that tests compare the messages exactly.
#pragma once

#include <gtest/gtest.h>

#include <regex>
#include <string>

template <typename Call>
std::string loggedBy(Call call) {
    static const std::regex prefix(
        R"(UPDATE_(LOG|ERR)-0\.1\.0 \d\d:\d\d:\d\d\.\d\d\d: src/update_process (\w+) line: \d+: )");
    testing::internal::CaptureStderr();
    call();
    return std::regex_replace(testing::internal::GetCapturedStderr(), prefix, "$1 $2: ");
}
