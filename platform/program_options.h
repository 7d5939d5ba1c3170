// A program's options as one table, and the reading of its arguments against that table. Each
// of the five programs keeps one table per command; its parser, its --help and the tests that
// hold the shell completions and the manual pages to it all read that table. Whole numbers on
// any command line are read here too, with std::from_chars and a range.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace vantor::platform {

// One option. `value` is what the help calls its value ("FILE"); a switch that takes no value
// leaves it empty. `help` is what the help says of it, "\n" where its lines break; an option
// without words (--help, -h, --version) is named on the help's last option line.
struct ProgramOption {
    std::string_view name;
    std::string_view value = {};
    std::string_view help = {};

    bool TakesValue() const { return !value.empty(); }
};
using OptionTable = std::span<const ProgramOption>;

// The table's entry for `name`; null when the table has no such option.
const ProgramOption* FindOption(OptionTable table, std::string_view name);

// The options part of a help, made from the table: each option with its value, its words from
// `column` on (a line of their own under a name that reaches the column), then the options
// without words together on one line: "  --help, -h, --version".
std::string OptionsHelp(OptionTable table, std::size_t column);

// `words` joined by ", " into lines of at most `width` characters, each after two blanks.
std::string WrappedList(const std::vector<std::string>& words, std::size_t width);

// How a program writes its arguments. vantor-cli takes "--name=value" as well as "--name value"
// and ends its options at "--"; the other programs take a value only as the next argument.
enum class ArgumentStyle { kSeparateValues, kAttachedValuesAndEnd };

// Steps through a program's arguments. The value of an option is whatever follows it, even
// when it begins with "-" (an image called "-x.orb" after --files-list).
class ArgumentReader {
  public:
    explicit ArgumentReader(std::vector<std::string> arguments,
                            ArgumentStyle style = ArgumentStyle::kAttachedValuesAndEnd)
        : arguments_(std::move(arguments)), style_(style) {}

    bool Done() const { return next_ >= arguments_.size(); }
    // The next argument. For "--name=value" only "--name" is returned and the value waits for
    // Value().
    std::string Next();
    // True when `argument`, just read, is an option; after "--" nothing is.
    bool IsOption(const std::string& argument) const;
    // The value of the option just read, or the failure "OPTION needs a value" when it is
    // missing.
    Result<std::string> Value(const std::string& option);
    // An option that takes no value was given one ("--json=1").
    bool HasAttachedValue() const { return attached_.has_value(); }

  private:
    std::vector<std::string> arguments_;
    ArgumentStyle style_;
    std::size_t next_ = 0;
    std::optional<std::string> attached_;
    bool options_ended_ = false;
};

// One argument as the table reads it.
struct Argument {
    std::string text;                       // the option's name, or the parameter
    bool is_option = false;                 // false for a parameter
    const ProgramOption* option = nullptr;  // null for a parameter or an option not in the table
    std::optional<std::string> value;       // the value of an option of the table that takes one
};

// The value of `option`, just read by `reader` as `name` (nothing for a switch); fails with the
// usage message when a switch has a value or a value is missing.
Result<std::optional<std::string>> ReadOptionValue(ArgumentReader& reader,
                                                   const ProgramOption& option,
                                                   const std::string& name);

// The next argument, read against `table`. Fails with the usage message when an option of the
// table is given wrongly ("--port needs a value", "--json takes no value"); an option that is
// not in the table comes back without `option`, for the program to judge or pass on.
Result<Argument> ReadArgument(ArgumentReader& reader, OptionTable table);

// For a command or option that is not known: `; did you mean "--files-list"?` naming the known
// one closest to `given` when it is near enough to be a slip of the fingers (a letter or two
// wrong, missing, extra or swapped); empty otherwise.
std::string DidYouMean(std::string_view given, const std::vector<std::string_view>& known);

// `unknown option "--fies-list"; did you mean "--files-list"?`, the guess taken from the
// command's table.
std::string UnknownOption(const std::string& given, OptionTable table);

// The arguments of main() after the program's name.
std::vector<std::string> ArgumentsOf(int argc, char** argv);

// A whole number in decimal digits (no sign, no blanks, at most 18 digits) within [low, high].
std::optional<long> ParseWhole(std::string_view text, long low, long high);
// As ParseWhole, but also written as C writes it: 0x and hexadecimal digits, or 0 and octal
// digits.
std::optional<long> ParseNumber(std::string_view text, long low, long high);
// A number in decimal digits, or 0x and hexadecimal digits, of any length, within [0, high]
// (the simulated drive's options).
std::optional<std::uint64_t> ParseDecimalOrHex(std::string_view text, std::uint64_t high);

}  // namespace vantor::platform
