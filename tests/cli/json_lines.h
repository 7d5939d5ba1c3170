// A small strict reader for the event stream of vantor-cli --json: each line one JSON
// object whose values are strings, numbers, true, false, null, objects or arrays. Strings decode
// \u00XX escapes to the single byte XX, as the stream writes bytes that are not UTF-8.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantor::test {

struct JsonValue {
    enum class Kind { String, Number, Bool, Null, Object, Array } kind = Kind::Null;
    // A string's bytes, a number as written, "true" or "false"; an object or an array as
    // written, to be read with ParseJsonLine or JsonArrayItems.
    std::string text;
    double number = 0;
};

using JsonObject = std::map<std::string, JsonValue>;

// One object, or nothing (and `error` says where) when the line is not exactly one object.
std::optional<JsonObject> ParseJsonLine(const std::string& line, std::string* error = nullptr);

// Every line of `text` as an object; a line that does not parse fails the test.
std::vector<JsonObject> ParseJsonLines(const std::string& text);

// The items of an array value (Kind::Array); empty for anything else.
std::vector<JsonValue> JsonArrayItems(const JsonValue& array);

// The string at `key`, or "" when the object has none.
std::string StringField(const JsonObject& object, const std::string& key);

}  // namespace vantor::test
