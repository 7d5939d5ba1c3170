#include "cli/console/command_line.h"

#include <charconv>
#include <cstdio>

#include "cli/console/exit_status.h"

namespace vantor::cli {

namespace {

constexpr std::size_t kMostDigits = 18;

}  // namespace

std::string ArgumentReader::Next() {
    attached_.reset();
    std::string argument = arguments_[next_++];
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

int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "vantor-cli %s: %s\nTry 'vantor-cli %s --help'.\n", command.c_str(),
                 message.c_str(), command.c_str());
    return kExitUsage;
}

void PrintVersion() {
    std::printf("vantor-cli (Vantor %s)\n", VANTOR_VERSION);
}

std::optional<long> ParseWhole(const std::string& text, long low, long high) {
    // Digits only (from_chars would also take a leading minus sign), and at most 18 of them,
    // leading zeros counted.
    if (text.empty() || text.size() > kMostDigits ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

}  // namespace vantor::cli
