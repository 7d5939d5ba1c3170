#include "records/unit_fields.h"

#include <array>

namespace vantor::records {

namespace {

struct UnitField {
    const char* option;
    const char* record_name;
    std::string UnitFields::*field;
};

constexpr std::array<UnitField, 4> kUnitFields{{
    {kUnitSerialOption, "unit_serial", &UnitFields::unit_serial},
    {kOperatorOption, "operator", &UnitFields::operator_name},
    {kOrderOption, "order", &UnitFields::order},
    {kStationLabelOption, "station_label", &UnitFields::station_label},
}};

// The length of the UTF-8 sequence that begins with `lead`; 0 for a byte that begins none.
std::size_t SequenceLength(unsigned char lead) {
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return 2;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        return 3;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        return 4;
    }
    return 0;
}

// The code point of the sequence of `length` bytes at `text[at]`, or nothing when it is not
// valid UTF-8 (a continuation byte missing, an overlong form, a surrogate, past U+10FFFF).
std::optional<char32_t> CodePoint(const std::string& text, std::size_t at, std::size_t length) {
    if (at + length > text.size()) {
        return std::nullopt;
    }
    const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
    constexpr char32_t kLeadMasks[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t point = byte(at) & kLeadMasks[length];
    for (std::size_t index = at + 1; index < at + length; ++index) {
        if ((byte(index) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        point = (point << 6) | (byte(index) & 0x3F);
    }
    constexpr char32_t kLeastOf[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeastOf[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) {
        return std::nullopt;
    }
    return point;
}

bool IsControl(char32_t point) {
    return point < 0x20 || (point >= 0x7F && point <= 0x9F) || point == 0x2028 || point == 0x2029;
}

}  // namespace

std::string UnitFields::*UnitFieldOf(const std::string& option) {
    for (const UnitField& field : kUnitFields) {
        if (option == field.option) {
            return field.field;
        }
    }
    return nullptr;
}

const std::vector<std::string>& UnitFieldOptions() {
    static const std::vector<std::string> options{kUnitSerialOption, kOperatorOption, kOrderOption,
                                                  kStationLabelOption};
    return options;
}

Result<void> UnitFieldProblem(const std::string& option, const std::string& value) {
    if (value.empty()) {
        return Failure{option + " needs a value"};
    }
    std::size_t characters = 0;
    for (std::size_t at = 0; at < value.size(); ++characters) {
        const std::size_t length = SequenceLength(static_cast<unsigned char>(value[at]));
        const auto point = length == 0 ? std::nullopt : CodePoint(value, at, length);
        if (!point) {
            return Failure{option + ": the value is not UTF-8 text (byte " +
                           std::to_string(at + 1) + "); give it as printable text"};
        }
        if (IsControl(*point)) {
            return Failure{option + ": the value holds a control character (character " +
                           std::to_string(characters + 1) + "); give it as printable text"};
        }
        at += length;
    }
    if (characters > kMostUnitFieldCharacters) {
        return Failure{option + ": the value has " + std::to_string(characters) +
                       " characters; at most " + std::to_string(kMostUnitFieldCharacters)};
    }
    if (value.front() == ' ' || value.back() == ' ') {
        // A scanner's or a copy's stray blank would make "SN1 " another unit than "SN1".
        return Failure{option + " \"" + value + "\": the value begins or ends with a blank"};
    }
    return {};
}

void AddUnitFields(JsonObject& fields, const UnitFields& unit) {
    for (const UnitField& field : kUnitFields) {
        const std::string& value = unit.*field.field;
        fields.StringOrNull(field.record_name,
                            value.empty() ? std::nullopt : std::optional<std::string>(value));
    }
}

std::vector<std::string> UnitFieldArguments(const UnitFields& unit) {
    std::vector<std::string> arguments;
    for (const UnitField& field : kUnitFields) {
        if (!(unit.*field.field).empty()) {
            arguments.push_back(field.option);
            arguments.push_back(unit.*field.field);
        }
    }
    return arguments;
}

}  // namespace vantor::records
