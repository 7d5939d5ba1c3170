#include "platform/program_options.h"

#include <algorithm>
#include <charconv>

#include "platform/invariant.h"

namespace vantor::platform {

namespace {

constexpr std::size_t kMostDigits = 18;

// Digits of `base` only (from_chars alone would also take a leading minus sign), within
// [0, high]; from_chars says when they are too many for 64 bits.
std::optional<std::uint64_t> ParseDigits(std::string_view text, int base, std::uint64_t high) {
    const std::string_view digits =
        base == 16 ? "0123456789abcdefABCDEF" : (base == 8 ? "01234567" : "0123456789");
    if (text.empty() || text.find_first_not_of(digits) != std::string_view::npos) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (error != std::errc() || stop != end || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<long> WithinRange(std::optional<std::uint64_t> value, long low) {
    VANTOR_ASSERT(low >= 0);
    if (!value || *value < static_cast<std::uint64_t>(low)) {
        return std::nullopt;
    }
    return static_cast<long>(*value);
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

std::string OptionsHelp(OptionTable table, std::size_t column) {
    std::string help;
    std::vector<std::string> bare;
    for (const ProgramOption& option : table) {
        std::string head = "  " + std::string(option.name);
        if (option.TakesValue()) {
            head += " " + std::string(option.value);
        }
        if (option.help.empty()) {
            bare.push_back(std::string(option.name));
            continue;
        }
        head.resize(std::max(head.size() + 2, column), ' ');
        help += head;
        for (std::size_t begin = 0; begin <= option.help.size();) {
            const std::size_t end = std::min(option.help.find('\n', begin), option.help.size());
            help += (begin == 0 ? "" : std::string(column, ' ')) +
                    std::string(option.help.substr(begin, end - begin)) + "\n";
            begin = end + 1;
        }
    }
    return help + (bare.empty() ? "" : WrappedList(bare, column * 4));
}

std::string WrappedList(const std::vector<std::string>& words, std::size_t width) {
    std::string text;
    std::string line = " ";
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::string word = words[i] + (i + 1 < words.size() ? "," : "");
        if (line.size() > 1 && line.size() + 1 + word.size() > width) {
            text += line + "\n";
            line = " ";
        }
        line += " " + word;
    }
    return text + line + "\n";
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

Result<std::string> ArgumentReader::Value(const std::string& option) {
    if (attached_) {
        std::string value = *attached_;
        attached_.reset();
        return value;
    }
    if (Done()) {
        return Failure{option + " needs a value"};
    }
    return arguments_[next_++];
}

Result<std::optional<std::string>> ReadOptionValue(ArgumentReader& reader,
                                                   const ProgramOption& option,
                                                   const std::string& name) {
    // Spelled out: a Result made from std::nullopt would hold no value at all, a failure.
    const std::optional<std::string> none;
    if (!option.TakesValue()) {
        if (reader.HasAttachedValue()) {
            return Failure{name + " takes no value"};
        }
        return none;
    }
    auto given = reader.Value(name);
    if (!given) {
        return Failure{given.reason()};
    }
    return std::optional<std::string>(std::move(*given));
}

Result<Argument> ReadArgument(ArgumentReader& reader, OptionTable table) {
    Argument argument;
    argument.text = reader.Next();
    argument.is_option = reader.IsOption(argument.text);
    if (!argument.is_option) {
        return argument;
    }
    argument.option = FindOption(table, argument.text);
    if (argument.option == nullptr) {
        return argument;
    }
    auto value = ReadOptionValue(reader, *argument.option, argument.text);
    if (!value) {
        return Failure{value.reason()};
    }
    argument.value = std::move(*value);
    return argument;
}

std::vector<std::string> ArgumentsOf(int argc, char** argv) {
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>();
}

// Every number of a command line counts something: no range reaches below 0.
std::optional<long> ParseWhole(std::string_view text, long low, long high) {
    if (text.size() > kMostDigits) {
        return std::nullopt;
    }
    return WithinRange(ParseDigits(text, 10, static_cast<std::uint64_t>(high)), low);
}

std::optional<long> ParseNumber(std::string_view text, long low, long high) {
    const auto top = static_cast<std::uint64_t>(high);
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return WithinRange(ParseDigits(text.substr(2), 16, top), low);
    }
    if (text.size() > 1 && text[0] == '0') {
        return WithinRange(ParseDigits(text.substr(1), 8, top), low);
    }
    return WithinRange(ParseDigits(text, 10, top), low);
}

std::optional<std::uint64_t> ParseDecimalOrHex(std::string_view text, std::uint64_t high) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return ParseDigits(text.substr(2), 16, high);
    }
    return ParseDigits(text, 10, high);
}

namespace {

// The edits (a letter changed, added, removed, or two neighbours swapped) that turn `a` into
// `b`: the optimal string alignment distance.
std::size_t EditsBetween(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        d[i][0] = i;
    }
    for (std::size_t j = 0; j <= b.size(); ++j) {
        d[0][j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t changed = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + changed});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// Arguments longer than this are no misspelt name: no suggestion is looked for.
constexpr std::size_t kLongestName = 64;

}  // namespace

std::string DidYouMean(std::string_view given, const std::vector<std::string_view>& known) {
    if (given.size() > kLongestName) {
        return "";
    }
    std::string_view closest;
    std::size_t fewest = 0;
    for (std::string_view name : known) {
        const std::size_t edits = EditsBetween(given, name);
        if (closest.empty() || edits < fewest) {
            closest = name;
            fewest = edits;
        }
    }
    // A third of the name may be wrong, at most two letters: "--fies-list", "dowload".
    const std::size_t allowed =
        std::min<std::size_t>(2, std::max<std::size_t>(1, given.size() / 3));
    if (closest.empty() || fewest == 0 || fewest > allowed) {
        return "";
    }
    return "; did you mean \"" + std::string(closest) + "\"?";
}

std::string UnknownOption(const std::string& given, OptionTable table) {
    std::vector<std::string_view> names;
    for (const ProgramOption& option : table) {
        names.push_back(option.name);
    }
    return "unknown option \"" + given + "\"" + DidYouMean(given, names);
}

}  // namespace vantor::platform
