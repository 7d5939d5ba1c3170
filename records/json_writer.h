// The one writer of the JSON that vantor-cli writes: the events of --json, the run record, the
// report files and the ports listing. An object or an array is built member by member, in the
// order the members are added, and written compactly (no spaces, no line feeds), so the same
// record is the same bytes on every run and every system.
//
// The texts of the job are 8-bit texts that may hold any byte, so a string is written byte by
// byte: valid UTF-8 passes through, and control characters and bytes that are not part of valid
// UTF-8 become \u00XX escapes, one per byte (our reader, JsonMembers, turns each
// back into its byte). Fractional numbers (times, durations) have three decimals.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantor::records {

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

class JsonArray;

// One JSON object. Keys are the writer's own names; it is the caller's to give each once.
class JsonObject {
  public:
    JsonObject& String(std::string_view key, std::string_view text);
    // The string, or null when there is none.
    JsonObject& StringOrNull(std::string_view key, const std::optional<std::string>& text);
    JsonObject& Integer(std::string_view key, long long value);
    JsonObject& Unsigned(std::string_view key, unsigned long long value);
    // The number, or null when it is not known.
    JsonObject& IntegerOrNull(std::string_view key, std::optional<long long> value);
    // `value` with three decimals: 12.345.
    JsonObject& Fixed3(std::string_view key, double value);
    JsonObject& Bool(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    JsonObject& Object(std::string_view key, const JsonObject& value);
    JsonObject& Array(std::string_view key, const JsonArray& value);
    // A value that is JSON already (a station's run record, passed on as it came), or null
    // when `json` is empty.
    JsonObject& VerbatimOrNull(std::string_view key, std::string_view json);
    // Every member of `other`, after those already here.
    JsonObject& Append(const JsonObject& other);

    // The object, braces included.
    std::string Text() const;

  private:
    std::string& Key(std::string_view key);

    std::string members_;
};

// One JSON array.
class JsonArray {
  public:
    JsonArray& String(std::string_view text);
    JsonArray& Integer(long long value);
    JsonArray& Object(const JsonObject& value);

    // The array, brackets included.
    std::string Text() const;

  private:
    std::string& Next();

    std::string elements_;
};

}  // namespace vantor::records
