// The tools' JSON, written by one library with one policy: valid UTF-8 is kept as it is, and
// each byte that isn't valid UTF-8 becomes U+FFFD, so the output is always valid JSON text.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

using Json = nlohmann::ordered_json;

// indent -1: all on one line.
inline std::string jsonText(const Json& value, int indent = -1) {
    return value.dump(indent, ' ', false, Json::error_handler_t::replace);
}
