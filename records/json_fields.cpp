#include "records/json_fields.h"

#include <cstdlib>

namespace vantor::cli {

namespace {

// Where the value of `key` begins; npos when the key is absent.
std::size_t ValueAt(std::string_view object, std::string_view key) {
    const std::string member = "\"" + std::string(key) + "\":";
    for (std::size_t at = object.find(member); at != std::string_view::npos;
         at = object.find(member, at + 1)) {
        if (at > 0 && (object[at - 1] == '{' || object[at - 1] == ',')) {
            return at + member.size();
        }
    }
    return std::string_view::npos;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

}  // namespace

std::optional<std::string> JsonStringField(std::string_view object, std::string_view key) {
    std::size_t at = ValueAt(object, key);
    if (at == std::string_view::npos || at >= object.size() || object[at] != '"') {
        return std::nullopt;
    }
    std::string text;
    for (++at; at < object.size(); ++at) {
        const char c = object[at];
        if (c == '"') {
            return text;
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++at >= object.size()) {
            return std::nullopt;
        }
        const char kind = object[at];
        if (kind == 'u' && at + 4 < object.size()) {
            // The stream escapes single bytes only (\u00XX).
            int code = 0;
            for (int i = 1; i <= 4; ++i) {
                const int digit = HexDigit(object[at + i]);
                if (digit < 0) {
                    return std::nullopt;
                }
                code = code * 16 + digit;
            }
            text += static_cast<char>(code & 0xFF);
            at += 4;
        } else {
            const std::string_view simple = "\"\\/bfnrt";
            const std::string_view meaning = "\"\\/\b\f\n\r\t";
            const std::size_t found = simple.find(kind);
            if (found == std::string_view::npos) {
                return std::nullopt;
            }
            text += meaning[found];
        }
    }
    return std::nullopt;
}

std::optional<double> JsonNumberField(std::string_view object, std::string_view key) {
    const std::size_t at = ValueAt(object, key);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string text(object.substr(at, 32));
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str()) {
        return std::nullopt;
    }
    return value;
}

std::optional<bool> JsonBoolField(std::string_view object, std::string_view key) {
    const std::size_t at = ValueAt(object, key);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view value = object.substr(at);
    if (value.rfind("true", 0) == 0) {
        return true;
    }
    return value.rfind("false", 0) == 0 ? std::optional<bool>(false) : std::nullopt;
}

}  // namespace vantor::cli
