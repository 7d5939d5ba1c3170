// JSON strings for the event stream. The texts of the job are 8-bit texts that may hold any
// byte, so a string is written byte by byte: valid UTF-8 passes through, and control
// characters and bytes that are not part of valid UTF-8 become \u00XX escapes, one per byte.
#pragma once

#include <string>
#include <string_view>

namespace vantor::cli {

// `text` as a JSON string literal, quotes included.
std::string JsonString(std::string_view text);

}  // namespace vantor::cli
