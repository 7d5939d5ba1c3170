// Each program's option table against everything that lists its options apart from the parser:
// its --help, the bash and zsh completions and its manual page. An option added to a table and
// forgotten in any of them, or left in one after it was taken out of the table, fails here.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cli/download/download_settings.h"
#include "cli/history/history_recording.h"
#include "cli/image_info/image_info.h"
#include "cli/ports/ports_command.h"
#include "line/line_options.h"
#ifdef VANTOR_HAVE_SERVE
#include "serve/serve_options.h"
#endif
#include "drivesim/drive_sim_options.h"
#include "make_image_options.h"
#include "platform/program_options.h"
#include "portserver/port_server_options.h"
#include "records/exit_status.h"
#ifdef VANTOR_WINDOW_PATH
#include "ui/window_options.h"
#endif

namespace vantor {
namespace {

using Names = std::set<std::string>;

Names NamesOf(std::initializer_list<platform::OptionTable> tables) {
    Names names;
    for (const platform::OptionTable table : tables) {
        for (const platform::ProgramOption& option : table) {
            names.emplace(option.name);
        }
    }
    return names;
}

// Every match of the first group of `pattern` in `text`.
Names Matches(const std::string& text, const std::string& pattern) {
    Names found;
    const std::regex expression(pattern);
    for (auto match = std::sregex_iterator(text.begin(), text.end(), expression);
         match != std::sregex_iterator(); ++match) {
        found.insert((*match)[1].str());
    }
    return found;
}

std::string ReadText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// What the command writes on stdout; its exit status in `status` (77 stands for "skipped").
std::string Output(const std::string& command, int& status) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        status = -1;
        return output;
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        output.append(buffer, got);
    }
    const int wait_status = ::pclose(pipe);
    status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    return output;
}

// One program, or one command of vantor-cli, and its tables.
struct Case {
    std::string label;
    std::string program;  // the built program
    std::string name;     // as the shell knows it
    std::string command;  // vantor-cli's command, or ""
    Names options;
};

void PrintTo(const Case& tested, std::ostream* out) {
    *out << tested.label;
}

std::vector<Case> Cases() {
    std::vector<Case> cases{
        {"download", VANTOR_CLI_PATH, "vantor-cli", "download",
         NamesOf({cli::DownloadOptions(), line::LineOptions()})},
        {"identify", VANTOR_CLI_PATH, "vantor-cli", "identify", NamesOf({cli::IdentifyOptions()})},
        {"image_info", VANTOR_CLI_PATH, "vantor-cli", "image-info",
         NamesOf({cli::ImageInfoOptions()})},
        {"ports", VANTOR_CLI_PATH, "vantor-cli", "ports", NamesOf({cli::PortsOptions()})},
        {"history", VANTOR_CLI_PATH, "vantor-cli", "history", NamesOf({cli::HistoryOptions()})},
        {"drive_sim", VANTOR_DRIVE_SIM_PATH, "vantor-drive-sim", "", NamesOf({drivesim::kOptions})},
        {"port_server", VANTOR_PORT_SERVER_PATH, "vantor-port-server", "",
         NamesOf({portserver::kOptions})},
        {"make_image", VANTOR_MAKE_IMAGE_PATH, "vantor-make-image", "",
         NamesOf({make_image::kOptions})},
    };
#ifdef VANTOR_HAVE_SERVE
    cases.push_back(
        {"serve", VANTOR_CLI_PATH, "vantor-cli", "serve", NamesOf({serve::ServeOptions()})});
#endif
#ifdef VANTOR_WINDOW_PATH
    cases.push_back({"window", VANTOR_WINDOW_PATH, "vantor", "", NamesOf({ui::kWindowOptions})});
#endif
    return cases;
}

class OptionTable : public testing::TestWithParam<Case> {};

TEST_P(OptionTable, HelpNamesExactlyTheTablesOptions) {
    const Case& tested = GetParam();
    int status = 0;
    const std::string help = Output(tested.program + " " + tested.command + " --help", status);
    ASSERT_EQ(status, 0);
    // Options stand after a blank, a bracket, a comma or a bar: "vantor-cli" and "0-9" do not.
    EXPECT_EQ(Matches("\n" + help, R"([\s\[\],|(](--?[A-Za-z][A-Za-z0-9-]*))"), tested.options);
}

TEST_P(OptionTable, BashCompletionOffersExactlyTheTablesOptions) {
    const Case& tested = GetParam();
    int status = 0;
    const std::string offered =
        Output(std::string(VANTOR_COMPLETE_OPTIONS) + " " + VANTOR_BASH_COMPLETION + " " +
                   tested.name + " " + tested.command + " -",
               status);
    if (status == 77) {
        GTEST_SKIP() << "bash-completion missing (scripts/install-deps.sh)";
    }
    ASSERT_EQ(status, 0);
    EXPECT_EQ(Matches(offered, R"((\S+))"), tested.options);
}

// The zsh completion covers vantor-cli's commands.
class ZshCompletion : public testing::TestWithParam<Case> {};

TEST_P(ZshCompletion, OffersExactlyTheTablesOptions) {
    const Case& tested = GetParam();
    const std::string completion = ReadText(VANTOR_ZSH_COMPLETION);
    const auto begin = completion.find("\n    " + tested.command + ")");
    ASSERT_NE(begin, std::string::npos) << tested.command;
    const std::string block = completion.substr(begin, completion.find(";;\n", begin) - begin);
    // An _arguments entry names an option before its "[", or in a {--help,-h} group; compadd
    // lists them as words.
    Names offered = Matches(block, R"((--?[A-Za-z][A-Za-z0-9-]*)[\[,}])");
    for (const std::string& line : Matches(block, R"(compadd([^;\n]*))")) {
        const Names words = Matches(line, R"(\s(--?[A-Za-z][A-Za-z0-9-]*))");
        offered.insert(words.begin(), words.end());
    }
    EXPECT_EQ(offered, tested.options);
}

// The manual page's bold option words are exactly its program's options, every command's
// together for vantor-cli.
TEST(OptionTables, ManualPagesNameExactlyTheTablesOptions) {
    std::map<std::string, Names> programs;
    for (const Case& tested : Cases()) {
        programs[tested.name].insert(tested.options.begin(), tested.options.end());
    }
    for (const auto& [name, options] : programs) {
        const std::string page = ReadText(std::string(VANTOR_MAN_SOURCES) + "/" + name + ".1.scd");
        ASSERT_FALSE(page.empty()) << name;
        EXPECT_EQ(Matches(page, R"(\*(--?[A-Za-z][A-Za-z0-9-]*)\*)"), options) << name;
    }
}

// Every exit status of the table has its row in the tables of README.md and docs/cli.md, with
// the table's words in it; a status added to the table and not to the guides fails here.
TEST(ExitStatusTable, ReadmeAndCliGuideListEveryStatusInItsWords) {
    for (const char* guide : {"/README.md", "/docs/cli.md"}) {
        std::map<std::string, std::string> rows;  // label as the table writes it -> the row
        std::istringstream text(ReadText(std::string(VANTOR_SOURCE_DIR) + guide));
        for (std::string row; std::getline(text, row);) {
            std::string plain;  // without the code marks and the escapes of Markdown
            for (const char c : row) {
                plain += c == '`' || c == '\\' ? "" : std::string(1, c);
            }
            static const std::regex kRow(R"(^\| ([0-9+ |c,]+?) \| (.*)\|$)");
            std::smatch match;
            if (std::regex_match(plain, match, kRow)) {
                std::string label = match[1].str();
                label = std::regex_replace(label, std::regex(R"( ?\+ ?)"), "+");
                rows.emplace(label, match[2].str());  // the first table's row: the statuses
            }
        }
        for (const records::ExitStatusLine& line : records::ExitStatusLines()) {
            const std::string label(line.label);
            ASSERT_TRUE(rows.count(label)) << guide << " has no row for status " << label;
            EXPECT_NE(rows[label].find(std::string(line.words)), std::string::npos)
                << guide << " status " << label << ": \"" << rows[label] << "\" lacks \""
                << line.words << "\"";
        }
    }
}

// vantor-cli(1) lists every exit status of the table under EXIT STATUS, in the table's words.
TEST(ExitStatusTable, TheManualPageListsEveryStatusInItsWords) {
    const std::string page = ReadText(std::string(VANTOR_MAN_SOURCES) + "/vantor-cli.1.scd");
    const auto begin = page.find("\n# EXIT STATUS\n");
    ASSERT_NE(begin, std::string::npos);
    // Each entry as plain words: its label's figures, then its text in lower case on one line.
    std::map<std::string, std::string> entries;
    std::string label;
    std::istringstream text(page.substr(begin, page.find("\n# ", begin + 1) - begin));
    for (std::string row; std::getline(text, row);) {
        std::string plain;
        for (const char c : row) {
            plain += c == '*' || c == '_' ? "" : std::string(1, static_cast<char>(std::tolower(c)));
        }
        if (!row.empty() && row[0] == '*') {
            label = plain;
        } else if (!label.empty() && !row.empty()) {
            entries[label] += plain.substr(plain.find_first_not_of('\t')) + " ";
        }
    }
    for (const records::ExitStatusLine& line : records::ExitStatusLines()) {
        const std::string status(line.label);
        ASSERT_TRUE(entries.count(status)) << "vantor-cli.1.scd has no entry for " << status;
        std::string words(line.words);
        std::transform(words.begin(), words.end(), words.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        EXPECT_NE(entries[status].find(words), std::string::npos)
            << status << ": \"" << entries[status] << "\" lacks \"" << words << "\"";
    }
}

std::vector<Case> CliCommands() {
    std::vector<Case> commands;
    for (const Case& tested : Cases()) {
        if (!tested.command.empty()) {
            commands.push_back(tested);
        }
    }
    return commands;
}

INSTANTIATE_TEST_SUITE_P(CliCommands, ZshCompletion, testing::ValuesIn(CliCommands()),
                         [](const testing::TestParamInfo<Case>& param) {
                             return param.param.label;
                         });
INSTANTIATE_TEST_SUITE_P(Programs, OptionTable, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& param) {
                             return param.param.label;
                         });

}  // namespace
}  // namespace vantor
