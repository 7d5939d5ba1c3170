#include "cli/json_lines.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "cli/cli_runner.h"

namespace vantor::test {

namespace {

class Reader {
  public:
    explicit Reader(const std::string& text) : text_(text) {}

    std::optional<JsonObject> Object() {
        auto object = Members();
        return object ? End(*object) : std::nullopt;
    }

    std::optional<std::vector<JsonValue>> Array() {
        std::vector<JsonValue> items;
        if (!Take('[')) {
            return Fail("an array must begin with [");
        }
        if (Take(']')) {
            return items;
        }
        do {
            auto value = Value();
            if (!value) {
                return std::nullopt;
            }
            items.push_back(*value);
        } while (Take(','));
        if (!Take(']')) {
            return Fail("] expected");
        }
        return items;
    }

    bool AtEnd() const { return at_ == text_.size(); }

    std::string error;

  private:
    std::optional<JsonObject> Members() {
        JsonObject object;
        if (!Take('{')) {
            return Fail("an object must begin with {");
        }
        if (Take('}')) {
            return object;
        }
        do {
            auto key = String();
            if (!key || !Take(':')) {
                return Fail("a key and a colon expected");
            }
            auto value = Value();
            if (!value || !object.emplace(*key, *value).second) {
                return Fail("a value expected, and each key once");
            }
        } while (Take(','));
        if (!Take('}')) {
            return Fail("} expected");
        }
        return object;
    }

    std::optional<JsonObject> End(JsonObject& object) {
        if (at_ != text_.size()) {
            return Fail("text after the object");
        }
        return object;
    }

    std::nullopt_t Fail(const std::string& why) {
        if (error.empty()) {
            error = why + " at column " + std::to_string(at_);
        }
        return std::nullopt;
    }

    bool Refuse(const std::string& why) {
        Fail(why);
        return false;
    }

    bool Take(char expected) {
        if (at_ < text_.size() && text_[at_] == expected) {
            ++at_;
            return true;
        }
        return false;
    }

    bool TakeWord(const std::string& word) {
        if (text_.compare(at_, word.size(), word) == 0) {
            at_ += word.size();
            return true;
        }
        return false;
    }

    std::optional<JsonValue> Value() {
        JsonValue value;
        const std::size_t start = at_;
        if (at_ < text_.size() && (text_[at_] == '{' || text_[at_] == '[')) {
            const bool object = text_[at_] == '{';
            if (object ? !Members() : !Array()) {
                return std::nullopt;
            }
            value.kind = object ? JsonValue::Kind::Object : JsonValue::Kind::Array;
            value.text = text_.substr(start, at_ - start);
            return value;
        }
        if (at_ < text_.size() && text_[at_] == '"') {
            auto text = String();
            if (!text) {
                return std::nullopt;
            }
            value.kind = JsonValue::Kind::String;
            value.text = *text;
            return value;
        }
        for (const char* word : {"true", "false"}) {
            if (TakeWord(word)) {
                value.kind = JsonValue::Kind::Bool;
                value.text = word;
                return value;
            }
        }
        if (TakeWord("null")) {
            return value;
        }
        return Number();
    }

    std::optional<JsonValue> Number() {
        const std::size_t start = at_;
        Take('-');
        const std::size_t digits = text_.find_first_not_of("0123456789", at_);
        if (digits == at_ || digits == std::string::npos) {
            return Fail("a number expected");
        }
        at_ = digits;
        if (Take('.')) {
            const std::size_t fraction = text_.find_first_not_of("0123456789", at_);
            if (fraction == at_ || fraction == std::string::npos) {
                return Fail("digits after the point expected");
            }
            at_ = fraction;
        }
        JsonValue value;
        value.kind = JsonValue::Kind::Number;
        value.text = text_.substr(start, at_ - start);
        value.number = std::strtod(value.text.c_str(), nullptr);
        return value;
    }

    std::optional<std::string> String() {
        if (!Take('"')) {
            return Fail("a string expected");
        }
        std::string text;
        while (at_ < text_.size() && text_[at_] != '"') {
            const auto byte = static_cast<unsigned char>(text_[at_++]);
            if (byte < 0x20) {
                return Fail("a raw control character in a string");
            }
            if (byte != '\\') {
                text += static_cast<char>(byte);
                continue;
            }
            if (!Escape(text)) {
                return std::nullopt;
            }
        }
        if (!Take('"')) {
            return Fail("an unterminated string");
        }
        return text;
    }

    bool Escape(std::string& text) {
        if (at_ >= text_.size()) {
            return Refuse("an escape at the end");
        }
        const char kind = text_[at_++];
        const std::string simple = "\"\\/bfnrt";
        const std::string meaning = "\"\\/\b\f\n\r\t";
        if (const auto found = simple.find(kind); found != std::string::npos) {
            text += meaning[found];
            return true;
        }
        const std::string hex = at_ + 4 <= text_.size() ? text_.substr(at_, 4) : "";
        if (kind != 'u' || hex.size() != 4 ||
            hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return Refuse("a bad escape");
        }
        const long code = std::strtol(hex.c_str(), nullptr, 16);
        if (code > 0xFF) {
            return Refuse("the stream escapes single bytes only");
        }
        text += static_cast<char>(code);
        at_ += 4;
        return true;
    }

    const std::string& text_;
    std::size_t at_ = 0;
};

}  // namespace

std::optional<JsonObject> ParseJsonLine(const std::string& line, std::string* error) {
    Reader reader(line);
    auto object = reader.Object();
    if (!object && error != nullptr) {
        *error = reader.error;
    }
    return object;
}

std::vector<JsonValue> JsonArrayItems(const JsonValue& array) {
    if (array.kind != JsonValue::Kind::Array) {
        return {};
    }
    Reader reader(array.text);
    auto items = reader.Array();
    EXPECT_TRUE(items && reader.AtEnd()) << reader.error;
    return items.value_or(std::vector<JsonValue>{});
}

std::vector<JsonObject> ParseJsonLines(const std::string& text) {
    std::vector<JsonObject> objects;
    for (const std::string& line : Lines(text)) {
        std::string error;
        auto object = ParseJsonLine(line, &error);
        EXPECT_TRUE(object.has_value()) << error << " in: " << line;
        if (object) {
            objects.push_back(*object);
        }
    }
    return objects;
}

std::string StringField(const JsonObject& object, const std::string& key) {
    const auto found = object.find(key);
    return found == object.end() ? std::string() : found->second.text;
}

}  // namespace vantor::test
