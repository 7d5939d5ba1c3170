#include "records/json_writer.h"

#include <cstdint>
#include <cstdio>

namespace vantor::records {

namespace {

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence at `text[at]` (overlong forms, surrogates and
// code points above U+10FFFF are not well formed), or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    std::uint32_t code_point = 0;
    std::uint32_t lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code_point = lead & 0x1F, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code_point = lead & 0x0F, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code_point = lead & 0x07, lowest = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[at + i]);
        if (!IsContinuation(byte)) {
            return 0;
        }
        code_point = (code_point << 6) | (byte & 0x3F);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < lowest || code_point > 0x10FFFF || surrogate) {
        return 0;
    }
    return length;
}

void AppendByteEscape(std::string& out, unsigned char byte) {
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04X", byte);
    out += escape;
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++at;
        } else if (byte < 0x20 || byte == 0x7F) {
            AppendByteEscape(out, byte);
            ++at;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++at;
        } else if (const std::size_t length = Utf8SequenceLength(text, at); length > 0) {
            out.append(text.substr(at, length));
            at += length;
        } else {
            AppendByteEscape(out, byte);
            ++at;
        }
    }
    out += '"';
    return out;
}

std::string& JsonObject::Key(std::string_view key) {
    if (!members_.empty()) {
        members_ += ',';
    }
    members_ += JsonString(key);
    members_ += ':';
    return members_;
}

JsonObject& JsonObject::String(std::string_view key, std::string_view text) {
    Key(key) += JsonString(text);
    return *this;
}

JsonObject& JsonObject::StringOrNull(std::string_view key, const std::optional<std::string>& text) {
    Key(key) += text ? JsonString(*text) : "null";
    return *this;
}

JsonObject& JsonObject::Integer(std::string_view key, long long value) {
    Key(key) += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Unsigned(std::string_view key, unsigned long long value) {
    Key(key) += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::IntegerOrNull(std::string_view key, std::optional<long long> value) {
    Key(key) += value ? std::to_string(*value) : "null";
    return *this;
}

JsonObject& JsonObject::Fixed3(std::string_view key, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", value);
    Key(key) += text;
    return *this;
}

JsonObject& JsonObject::Bool(std::string_view key, bool value) {
    Key(key) += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
    Key(key) += "null";
    return *this;
}

JsonObject& JsonObject::Object(std::string_view key, const JsonObject& value) {
    Key(key) += value.Text();
    return *this;
}

JsonObject& JsonObject::Array(std::string_view key, const JsonArray& value) {
    Key(key) += value.Text();
    return *this;
}

JsonObject& JsonObject::VerbatimOrNull(std::string_view key, std::string_view json) {
    Key(key) += json.empty() ? std::string_view("null") : json;
    return *this;
}

JsonObject& JsonObject::Append(const JsonObject& other) {
    if (!members_.empty() && !other.members_.empty()) {
        members_ += ',';
    }
    members_ += other.members_;
    return *this;
}

std::string JsonObject::Text() const {
    return "{" + members_ + "}";
}

std::string& JsonArray::Next() {
    if (!elements_.empty()) {
        elements_ += ',';
    }
    return elements_;
}

JsonArray& JsonArray::String(std::string_view text) {
    Next() += JsonString(text);
    return *this;
}

JsonArray& JsonArray::Integer(long long value) {
    Next() += std::to_string(value);
    return *this;
}

JsonArray& JsonArray::Object(const JsonObject& value) {
    Next() += value.Text();
    return *this;
}

std::string JsonArray::Text() const {
    return "[" + elements_ + "]";
}

}  // namespace vantor::records
