// Reading a command's arguments: options with their values ("--port sim" or "--port=sim"),
// plain parameters, and the usage errors that name the argument at fault.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantor::cli {

class ArgumentReader {
  public:
    ArgumentReader(std::vector<std::string> arguments) : arguments_(std::move(arguments)) {}

    bool Done() const { return next_ >= arguments_.size(); }
    // The next argument. For "--name=value" only "--name" is returned and the value waits for
    // Value().
    std::string Next();
    // True when the argument just read is an option; after "--" nothing is.
    bool IsOption(const std::string& argument) const;
    // The value of the option just read; nothing (and `error` says why) when it is missing.
    std::optional<std::string> Value(const std::string& option, std::string& error);
    // An option that takes no value was given one ("--json=1").
    bool HasAttachedValue() const { return attached_.has_value(); }

  private:
    std::vector<std::string> arguments_;
    std::size_t next_ = 0;
    std::optional<std::string> attached_;
    bool options_ended_ = false;
};

// Prints "vantor-cli COMMAND: MESSAGE" and the hint to the command's help on stderr, and
// returns the usage exit status.
int UsageError(const std::string& command, const std::string& message);

// "vantor-cli (Vantor 2.0.7)".
void PrintVersion();

// A whole number written in decimal, within [low, high].
std::optional<long> ParseWhole(const std::string& text, long low, long high);

}  // namespace vantor::cli
