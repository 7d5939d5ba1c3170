#include "records/json_reader.h"

#include <nlohmann/json.hpp>

namespace vantor::records {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// JsonString writes a byte that is not part of UTF-8 as \u00XX, which a parser reads as the
// character U+00XX: the same as that character written in UTF-8, which passes through. So before
// parsing, such an escape gets a NUL escape in front (\u0000\u00XX) and a NUL of the text's own is
// doubled. JSON never holds a raw NUL, so in a parsed string a NUL marks what follows it.
std::string MarkByteEscapes(std::string_view text) {
    std::string marked;
    marked.reserve(text.size() + 16);
    for (std::size_t at = 0; at < text.size(); ++at) {
        marked += text[at];
        if (text[at] != '\\' || at + 1 >= text.size()) {
            continue;
        }
        ++at;  // an escaped character is never the start of an escape
        if (text[at] == 'u' && at + 4 < text.size() && text[at + 1] == '0' && text[at + 2] == '0') {
            const int high = HexDigit(text[at + 3]);
            const int low = HexDigit(text[at + 4]);
            if (low >= 0 && (high >= 8 || (high == 0 && low == 0))) {
                marked += "u0000\\";
            }
        }
        marked += text[at];
    }
    return marked;
}

// A parsed string with each marked character turned back into its byte.
std::string Unmarked(const std::string& text) {
    if (text.find('\0') == std::string::npos) {
        return text;
    }
    std::string bytes;
    bytes.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const bool marks = text[at] == '\0' && at + 1 < text.size();
        const auto next = marks ? static_cast<unsigned char>(text[at + 1]) : 0xFF;
        if (marks && next == 0) {
            bytes += '\0';
            at += 1;
        } else if ((next == 0xC2 || next == 0xC3) && at + 2 < text.size()) {
            // U+0080 to U+00FF in UTF-8: 110000xx 10xxxxxx.
            bytes += static_cast<char>(((next & 0x03) << 6) | (text[at + 2] & 0x3F));
            at += 2;
        } else {
            bytes += text[at];
        }
    }
    return bytes;
}

// The parser's words without its error code: "parse error at line 1, column 9: ...".
std::string FaultText(const std::string& what) {
    const std::size_t code_end =
        what.rfind("[json.exception.", 0) == 0 ? what.find("] ") : std::string::npos;
    return code_end == std::string::npos ? what : what.substr(code_end + 2);
}

}  // namespace

JsonMembers::JsonMembers(std::string_view text) {
    auto parsed = std::make_shared<nlohmann::json>();
    try {
        if (text.find("\\u00") == std::string_view::npos) {
            *parsed = nlohmann::json::parse(text.begin(), text.end());
        } else {
            *parsed = nlohmann::json::parse(MarkByteEscapes(text));
        }
    } catch (const nlohmann::json::parse_error& error) {
        fault_ = FaultText(error.what());
        return;
    }
    if (!parsed->is_object()) {
        fault_ = std::string("a JSON ") + parsed->type_name() + " where an object belongs";
        return;
    }
    object_ = std::move(parsed);
}

const nlohmann::json* JsonMembers::Member(std::string_view key) const {
    if (!object_) {
        return nullptr;
    }
    const auto member = object_->find(key);
    return member == object_->end() ? nullptr : &*member;
}

std::optional<std::string> JsonMembers::String(std::string_view key) const {
    const nlohmann::json* value = Member(key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return Unmarked(value->get_ref<const std::string&>());
}

std::optional<double> JsonMembers::Number(std::string_view key) const {
    const nlohmann::json* value = Member(key);
    if (value == nullptr || !value->is_number()) {
        return std::nullopt;
    }
    return value->get<double>();
}

std::optional<bool> JsonMembers::Bool(std::string_view key) const {
    const nlohmann::json* value = Member(key);
    if (value == nullptr || !value->is_boolean()) {
        return std::nullopt;
    }
    return value->get<bool>();
}

}  // namespace vantor::records
