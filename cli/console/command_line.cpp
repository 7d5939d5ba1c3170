#include "cli/console/command_line.h"

#include <algorithm>
#include <cstdio>

#include "records/exit_status.h"

namespace vantor::cli {

int UsageError(const std::string& command, const std::string& message) {
    std::fprintf(stderr, "vantor-cli %s: %s\nTry 'vantor-cli %s --help'.\n", command.c_str(),
                 message.c_str(), command.c_str());
    return kExitUsage;
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

std::string UnknownOption(const std::string& given, platform::OptionTable table) {
    std::vector<std::string_view> names;
    for (const platform::ProgramOption& option : table) {
        names.push_back(option.name);
    }
    return "unknown option \"" + given + "\"" + DidYouMean(given, names);
}

void PrintVersion() {
    std::printf("vantor-cli (Vantor %s)\n", VANTOR_VERSION);
}

}  // namespace vantor::cli
