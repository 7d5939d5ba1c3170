// The event stream of vantor-cli --json and its report files, read with nlohmann-json: each
// line one JSON object. The stream writes a byte that is not UTF-8 as \u00XX, so a reader sees
// it as the character U+00XX.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace vantor::test {

using JsonObject = nlohmann::json;

// One object, or nothing (and `error` says why) when the line is not exactly one JSON object.
std::optional<JsonObject> ParseJsonLine(const std::string& line, std::string* error = nullptr);

// Every line of `text` as an object; a line that does not parse fails the test.
std::vector<JsonObject> ParseJsonLines(const std::string& text);

// The string at `key`, or "" when the object has none.
std::string StringField(const JsonObject& object, const std::string& key);

// The events whose "event" is `kind`, in their order.
std::vector<JsonObject> EventsOfKind(const std::vector<JsonObject>& events,
                                     const std::string& kind);

}  // namespace vantor::test
