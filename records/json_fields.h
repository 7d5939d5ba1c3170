// Reading single fields of the flat JSON objects that vantor-cli writes, one per line: the
// parent of a production line reads its stations' events with these. A key is found only where
// it begins a member ({"key": or ,"key":), which cannot happen inside a string, since every
// quote in a string is escaped.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantor::cli {

// The string value of `key`, unescaped; nothing when the key is absent or not a string.
std::optional<std::string> JsonStringField(std::string_view object, std::string_view key);
// The number value of `key`; nothing when absent or not a number.
std::optional<double> JsonNumberField(std::string_view object, std::string_view key);
// The true or false of `key`; nothing when absent or not one of those.
std::optional<bool> JsonBoolField(std::string_view object, std::string_view key);

}  // namespace vantor::cli
