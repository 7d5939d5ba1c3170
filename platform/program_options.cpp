#include "platform/program_options.h"

#include <charconv>

namespace vantor::platform {

namespace {

constexpr std::size_t kMostDigits = 18;

// Digits of `base` only: from_chars alone would also take a leading minus sign.
std::optional<long> ParseDigits(std::string_view text, int base, long low, long high) {
    const std::string_view digits =
        base == 16 ? "0123456789abcdefABCDEF" : (base == 8 ? "01234567" : "0123456789");
    if (text.empty() || text.size() > kMostDigits ||
        text.find_first_not_of(digits) != std::string_view::npos) {
        return std::nullopt;
    }
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (error != std::errc() || stop != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

const ProgramOption* FindOption(OptionTable table, std::string_view name) {
    for (const ProgramOption& option : table) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

std::string ArgumentReader::Next() {
    attached_.reset();
    std::string argument = arguments_[next_++];
    if (style_ == ArgumentStyle::kSeparateValues) {
        return argument;
    }
    if (!options_ended_ && argument == "--") {
        options_ended_ = true;
        return Done() ? std::string() : Next();
    }
    if (IsOption(argument)) {
        if (const auto equals = argument.find('='); equals != std::string::npos) {
            attached_ = argument.substr(equals + 1);
            argument.resize(equals);
        }
    }
    return argument;
}

bool ArgumentReader::IsOption(const std::string& argument) const {
    return !options_ended_ && argument.size() > 1 && argument[0] == '-';
}

std::optional<std::string> ArgumentReader::Value(const std::string& option, std::string& error) {
    if (attached_) {
        std::string value = *attached_;
        attached_.reset();
        return value;
    }
    if (Done()) {
        error = option + " needs a value";
        return std::nullopt;
    }
    return arguments_[next_++];
}

std::optional<std::string> ReadOptionValue(ArgumentReader& reader, const ProgramOption& option,
                                           const std::string& name,
                                           std::optional<std::string>& value) {
    value.reset();
    if (!option.TakesValue()) {
        if (reader.HasAttachedValue()) {
            return name + " takes no value";
        }
        return std::nullopt;
    }
    std::string error;
    value = reader.Value(name, error);
    if (!value) {
        return error;
    }
    return std::nullopt;
}

std::optional<std::string> ReadArgument(ArgumentReader& reader, OptionTable table,
                                        Argument& argument) {
    argument = Argument{};
    argument.text = reader.Next();
    argument.is_option = reader.IsOption(argument.text);
    if (!argument.is_option) {
        return std::nullopt;
    }
    argument.option = FindOption(table, argument.text);
    if (argument.option == nullptr) {
        return std::nullopt;
    }
    return ReadOptionValue(reader, *argument.option, argument.text, argument.value);
}

std::vector<std::string> ArgumentsOf(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

std::optional<long> ParseWhole(std::string_view text, long low, long high) {
    return ParseDigits(text, 10, low, high);
}

std::optional<long> ParseNumber(std::string_view text, long low, long high) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return ParseDigits(text.substr(2), 16, low, high);
    }
    if (text.size() > 1 && text[0] == '0') {
        return ParseDigits(text.substr(1), 8, low, high);
    }
    return ParseDigits(text, 10, low, high);
}

}  // namespace vantor::platform
