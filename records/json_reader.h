// Reading the JSON objects that vantor-cli writes, one per line (the events of --json and the
// run record), with a JSON parser: the production line reads its stations' events and records
// with this, and so do the web front end and the benchmarks. A member is looked up among the
// object's own members, never inside a nested object or array.
#pragma once

#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace vantor::records {

class JsonMembers {
  public:
    // Reads `text` as one JSON object. Anything else (not JSON, cut short, an array, a number)
    // has no members, and Fault() says what is wrong with it.
    explicit JsonMembers(std::string_view text);

    bool Valid() const { return fault_.empty(); }
    // What is wrong with the text; empty when it is a JSON object.
    const std::string& Fault() const { return fault_; }

    // The string value of `key` as the bytes that were written (JsonString's \u00XX escapes
    // come back as single bytes); nothing when the key is absent or not a string.
    std::optional<std::string> String(std::string_view key) const;
    // The number value of `key`; nothing when absent or not a number.
    std::optional<double> Number(std::string_view key) const;
    // The true or false of `key`; nothing when absent or not one of those.
    std::optional<bool> Bool(std::string_view key) const;

  private:
    const nlohmann::json* Member(std::string_view key) const;

    std::shared_ptr<const nlohmann::json> object_;
    std::string fault_;
};

}  // namespace vantor::records
