// The options of the device address "sim:OPTIONS": comma-separated names, some with a value
// after '=' ("address=2,ident=0x1283,noise=0.01,seed=7").
#include "sim/sim_options.h"

#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "platform/program_options.h"

namespace vantor::sim {

namespace {

constexpr long long kMaxMs = 3'600'000;  // an hour: longer waits are surely typing mistakes
constexpr long long kMaxWord = 0xFFFF;
constexpr long long kMaxAddress = 31;
constexpr long long kMaxBytes = 65536;

// A whole number in decimal or 0x hexadecimal, within [low, high].
std::optional<long long> ParseNumber(const std::string& text, long long low, long long high) {
    const auto value = platform::ParseDecimalOrHex(text, static_cast<std::uint64_t>(high));
    if (!value || static_cast<long long>(*value) < low) {
        return std::nullopt;
    }
    return static_cast<long long>(*value);
}

std::optional<std::uint64_t> ParseSeed(const std::string& text) {
    return platform::ParseDecimalOrHex(text, std::numeric_limits<std::uint64_t>::max());
}

std::optional<double> ParseShare(const std::string& text) {
    if (text.empty() || text[0] == ' ') {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0.0 && value <= 1.0)) {
        return std::nullopt;
    }
    return value;
}

// "3+7": addresses joined by '+', each 0 to 31 and none twice.
std::optional<std::vector<int>> ParseAddresses(const std::string& text) {
    std::vector<int> addresses;
    std::set<int> seen;
    std::size_t start = 0;
    while (true) {
        const std::size_t plus = text.find('+', start);
        const auto address = ParseNumber(text.substr(start, plus - start), 0, kMaxAddress);
        if (!address || !seen.insert(static_cast<int>(*address)).second) {
            return std::nullopt;
        }
        addresses.push_back(static_cast<int>(*address));
        if (plus == std::string::npos) {
            return addresses;
        }
        start = plus + 1;
    }
}

// A word given as two characters ("??", "RD") or as a number ("0x3F3F").
std::optional<std::uint16_t> ParseWord(const std::string& text) {
    if (text.size() == 2 && !(text[0] >= '0' && text[0] <= '9')) {
        return static_cast<std::uint16_t>((static_cast<unsigned char>(text[0]) << 8) |
                                          static_cast<unsigned char>(text[1]));
    }
    const auto number = ParseNumber(text, 0, kMaxWord);
    if (!number) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*number);
}

struct OptionRule {
    bool takes_value;
    std::string expected;  // what a good value looks like, for the error message
    std::function<bool(const std::string&, SimOptions&)> apply;
};

// An option whose value is a number within [low, high], stored into `field`.
template <typename Field>
OptionRule NumberOption(Field SimOptions::*field, long long low, long long high,
                        std::string expected) {
    return {true, std::move(expected), [field, low, high](const std::string& text, SimOptions& o) {
                const auto value = ParseNumber(text, low, high);
                if (value) {
                    o.*field = static_cast<Field>(*value);
                }
                return value.has_value();
            }};
}

// An option whose value `parse` turns into the field's value, or into nothing when it is bad.
template <typename Field, typename Parse>
OptionRule ParsedOption(Field SimOptions::*field, Parse parse, std::string expected) {
    return {true, std::move(expected), [field, parse](const std::string& text, SimOptions& o) {
                const auto value = parse(text);
                if (value) {
                    o.*field = *value;
                }
                return value.has_value();
            }};
}

OptionRule FlagOption(bool SimOptions::*field, bool value) {
    return {false, "", [field, value](const std::string&, SimOptions& o) {
                o.*field = value;
                return true;
            }};
}

// One address answers (address=N); it stands for the whole list.
OptionRule AddressOption() {
    return {true, "an address from 0 to 31", [](const std::string& text, SimOptions& o) {
                const auto address = ParseNumber(text, 0, kMaxAddress);
                if (address) {
                    o.addresses = {static_cast<int>(*address)};
                }
                return address.has_value();
            }};
}

OptionRule AddressesOption() {
    return {true, "addresses from 0 to 31 joined by '+', none twice, such as 3+7",
            [](const std::string& text, SimOptions& o) {
                auto addresses = ParseAddresses(text);
                if (addresses) {
                    o.addresses = std::move(*addresses);
                }
                return addresses.has_value();
            }};
}

OptionRule PasswordOption() {
    return {true, "a text without commas", [](const std::string& text, SimOptions& o) {
                o.password = text;
                return !text.empty();
            }};
}

const std::map<std::string, OptionRule>& Rules() {
    static const std::map<std::string, OptionRule> rules = {
        {"ident", NumberOption(&SimOptions::ident, 0, kMaxWord, "a word from 0 to 0xFFFF")},
        {"address", AddressOption()},
        {"addresses", AddressesOption()},
        {"stay-in-command-mode", FlagOption(&SimOptions::stay_in_command_mode, true)},
        {"password", PasswordOption()},
        {"prompt-length",
         NumberOption(&SimOptions::prompt_length, 0, 64, "a byte count from 0 to 64")},
        {"no-break-answer", FlagOption(&SimOptions::answer_break, false)},
        {"ignore-breaks",
         NumberOption(&SimOptions::ignored_breaks, 0, 1000, "a break count from 0 to 1000")},
        {"break-delay", NumberOption(&SimOptions::break_delay_ms, 0, kMaxMs, "milliseconds")},
        {"break-ms", NumberOption(&SimOptions::break_length_ms, 0, kMaxMs, "milliseconds")},
        {"endless-break", FlagOption(&SimOptions::endless_break, true)},
        {"init-ack", NumberOption(&SimOptions::init_ack, 0, kMaxWord, "a word from 0 to 0xFFFF")},
        {"init-length",
         NumberOption(&SimOptions::init_reply_length, 0, 64, "a byte count from 0 to 64")},
        {"stray", NumberOption(&SimOptions::stray_bytes, 0, 64, "a byte count from 0 to 64")},
        {"init-delay", NumberOption(&SimOptions::init_delay_ms, 0, kMaxMs, "milliseconds")},
        {"ack-on-send",
         NumberOption(&SimOptions::ack_on_send, 1, 1000, "a send count from 1 to 1000")},
        {"refuse-first", FlagOption(&SimOptions::refuse_first, true)},
        {"response", ParsedOption(&SimOptions::response, ParseWord,
                                  "two characters such as ?? or a word such as 0x3F3F")},
        {"status", NumberOption(&SimOptions::status, 0, kMaxWord, "a word from 0 to 0xFFFF")},
        {"no-response", FlagOption(&SimOptions::no_response, true)},
        {"ack-delay", NumberOption(&SimOptions::ack_delay_ms, 0, kMaxMs, "milliseconds")},
        {"process-ms", NumberOption(&SimOptions::process_ms, 0, kMaxMs, "milliseconds")},
        {"noise",
         ParsedOption(&SimOptions::noise, ParseShare, "a share from 0 to 1, such as 0.01")},
        {"seed", ParsedOption(&SimOptions::seed, ParseSeed, "a whole number")},
        {"duplicate",
         ParsedOption(&SimOptions::duplicate, ParseShare, "a share from 0 to 1, such as 0.01")},
        {"unplug-at", NumberOption(&SimOptions::unplug_at_ms, 0, kMaxMs, "milliseconds")},
        {"reset-in-frame",
         NumberOption(&SimOptions::reset_in_frame, 1, 1'000'000, "a frame count from 1")},
        {"fifo", NumberOption(&SimOptions::fifo_trigger, 1, kMaxBytes, "a byte count from 1")},
        {"fifo-timeout", NumberOption(&SimOptions::fifo_timeout_chars, 1, 1000,
                                      "a number of character times from 1 to 1000")},
    };
    return rules;
}

Result<void> ApplyOption(const std::string& item, SimOptions& options) {
    const std::size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const auto rule = Rules().find(name);
    if (rule == Rules().end()) {
        return Failure{"unknown option \"" + name + "\""};
    }
    if (rule->second.takes_value != (equals != std::string::npos)) {
        return Failure{rule->second.takes_value ? "the option \"" + name + "\" needs a value (" +
                                                      rule->second.expected + ")"
                                                : "the option \"" + name + "\" takes no value"};
    }
    const std::string value = equals == std::string::npos ? "" : item.substr(equals + 1);
    if (!rule->second.apply(value, options)) {
        return Failure{"bad value \"" + value + "\" for the option \"" + name + "\" (expected " +
                       rule->second.expected + ")"};
    }
    return {};
}

}  // namespace

Result<SimOptions> ParseSimOptions(const std::string& text) {
    SimOptions options;
    std::size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        const std::size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma - start);
        if (item.empty()) {
            return Failure{"an empty option in \"" + text + "\""};
        }
        if (auto applied = ApplyOption(item, options); !applied) {
            return Failure{applied.reason()};
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return options;
}

}  // namespace vantor::sim
