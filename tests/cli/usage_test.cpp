// The command line: every mistake ends with status 64 and a message that names the argument
// at fault; --help and --version work on every command.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "cli/cli_runner.h"
#include "records/exit_status.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

struct UsageCase {
    const char* name;
    std::vector<std::string> arguments;
    const char* named;  // what the message must name
};

class UsageError : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, EndsWith64AndNamesTheBadArgument) {
    const UsageCase& c = GetParam();
    const CliRun run = RunCli(c.arguments);
    EXPECT_EQ(run.status, 64);
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    const bool json =
        std::find(c.arguments.begin(), c.arguments.end(), "--json") != c.arguments.end();
    if (!json) {
        EXPECT_EQ(run.out, "");
        return;
    }
    // With --json a program reading stdout learns of the error too.
    const auto events = ParseJsonLines(run.out);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(StringField(events.front(), "event"), "error");
    EXPECT_EQ(events.front().at("status"), 64);
    EXPECT_NE(StringField(events.front(), "message").find(c.named), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, UsageError,
    testing::Values(
        UsageCase{
            "NothingToDownload", {"download", "--port", "sim"}, "missing IMAGE or --files-list"},
        UsageCase{"ImageAndFilesList",
                  {"download", "a.orb", "--files-list", "l.txt"},
                  "exclude each other"},
        UsageCase{"TwoImages", {"download", "a.orb", "b.orb"}, "\"b.orb\""},
        UsageCase{"UnknownOption", {"download", "a.orb", "--bogus"}, "\"--bogus\""},
        UsageCase{"OddBaudRate", {"download", "a.orb", "--baud", "4800"}, "\"4800\""},
        UsageCase{"AddressTooHigh", {"download", "a.orb", "--address", "32"}, "\"32\""},
        UsageCase{"AddressCharacterBeyondV", {"download", "a.orb", "--address", "W"}, "\"W\""},
        UsageCase{"PortWithoutValue", {"download", "a.orb", "--port"}, "--port needs a value"},
        UsageCase{"UnknownSimOption", {"download", "a.orb", "--port", "sim:bogus=1"}, "bogus"},
        UsageCase{"VirtualTimeOnARealPort",
                  {"download", "a.orb", "--port", "/dev/ttyS0", "--virtual-time"},
                  "--virtual-time"},
        UsageCase{"NotifyFdNotOpen", {"download", "a.orb", "--notify-fd", "987"}, "987"},
        UsageCase{"NotifyFdNotANumber", {"download", "a.orb", "--notify-fd", "x"}, "\"x\""},
        UsageCase{"JsonAndQuiet", {"download", "a.orb", "--json", "--quiet"}, "--json and --quiet"},
        UsageCase{"FlagWithValue", {"download", "a.orb", "--json=1"}, "--json takes no value"},
        UsageCase{"TrafficLogUnwritable",
                  {"download", "a.orb", "--port", "sim", "--traffic-log", "/nonexistent/dir/log"},
                  "--traffic-log \"/nonexistent/dir/log\""},
        UsageCase{"ImageInfoWithoutImage", {"image-info"}, "missing IMAGE"},
        UsageCase{"RevisionOutOfRange", {"image-info", "a.orb", "--revision", "16"}, "\"16\""},
        UsageCase{"PortsTakeNoOptions", {"ports", "--all"}, "\"--all\""},
        UsageCase{"PortsUnknownSubcommand", {"ports", "list"}, "\"list\""},
        UsageCase{"PortsSetWithoutDevice", {"ports", "set", "COM3"}, "needs COMn and DEVICE"},
        UsageCase{"PortsSetBeyondComFour", {"ports", "set", "COM5", "sim"}, "\"COM5\""},
        UsageCase{"PortsSetNotADevice", {"ports", "set", "COM3", "ttyUSB0"}, "\"ttyUSB0\""},
        UsageCase{"PortsSetBadSimOption", {"ports", "set", "COM3", "sim:bogus=1"}, "bogus"},
        UsageCase{"PortsUnsetTooMany", {"ports", "unset", "COM3", "COM4"}, "\"COM4\""},
        UsageCase{"UnknownCommand", {"flash", "a.orb"}, "\"flash\""},
        UsageCase{"NoCommand", {}, "usage: vantor-cli COMMAND"}),
    [](const testing::TestParamInfo<UsageCase>& param_info) { return param_info.param.name; });

class HelpAndVersion : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(HelpAndVersion, AnswerOnEveryCommand) {
    std::vector<std::string> help = GetParam();
    help.push_back("--help");
    const CliRun help_run = RunCli(help);
    EXPECT_EQ(help_run.status, 0);
    const std::string command = GetParam().empty() ? "COMMAND" : GetParam().front();
    EXPECT_EQ(help_run.out.rfind("usage: vantor-cli " + command, 0), 0u) << help_run.out;
    help.back() = "-h";
    EXPECT_EQ(RunCli(help).out, help_run.out);

    std::vector<std::string> version = GetParam();
    version.push_back("--version");
    const CliRun version_run = RunCli(version);
    EXPECT_EQ(version_run.status, 0);
    EXPECT_EQ(version_run.out, std::string("vantor-cli (Vantor ") + VANTOR_VERSION + ")\n");
}

INSTANTIATE_TEST_SUITE_P(CommandLine, HelpAndVersion,
                         testing::Values(std::vector<std::string>{},
                                         std::vector<std::string>{"download"},
                                         std::vector<std::string>{"image-info"},
                                         std::vector<std::string>{"ports"}));

// The exit statuses that scripts rely on are in both helps a user looks at first, every one of
// the table's (tests/packaging/option_tables_test.cpp holds README.md and docs/cli.md to it).
TEST(Help, BothHelpsListEveryExitStatus) {
    const std::string download = RunCli({"download", "--help"}).out;
    const std::string top = RunCli({"--help"}).out;
    for (const records::ExitStatusLine& line : records::ExitStatusLines()) {
        std::string label(line.label);
        label.resize(std::max<std::size_t>(8, label.size()), ' ');
        const std::string said = std::string(line.lead) + std::string(line.words);
        EXPECT_NE(download.find("\n  " + label + " " + said), std::string::npos) << said;
        EXPECT_NE(top.find(std::string(line.label) + " " + said), std::string::npos) << said;
    }
    EXPECT_NE(top.find(" 6 the port was lost during the job;"), std::string::npos) << top;
}

TEST(Ports, ListsTheFourPortNamesThroughTheDefaultMap) {
    const CliRun run = RunCli({"ports"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (int number = 1; number <= 4; ++number) {
        const std::string line =
            "  COM" + std::to_string(number) + "  /dev/ttyS" + std::to_string(number - 1);
        EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
    }
    EXPECT_NE(run.out.find("serial devices:"), std::string::npos);
}

// Catches a port map entry that names a device no longer there being listed as usable.
TEST(Ports, JsonFlagsAMappedDeviceThatIsMissing) {
    const CliRun run = RunCli({"ports", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (int number = 1; number <= 4; ++number) {
        const std::string path = "/dev/ttyS" + std::to_string(number - 1);
        const bool there = ::access(path.c_str(), F_OK) == 0;
        const std::string entry =
            "{\"name\":\"COM" + std::to_string(number) + "\",\"address\":\"" + path +
            "\",\"source\":\"default\",\"missing\":" + (there ? "false" : "true") + "}";
        EXPECT_NE(run.out.find(entry), std::string::npos) << run.out;
    }
    EXPECT_NE(run.out.find("\"devices\":["), std::string::npos) << run.out;
}

// A slip of the fingers in a command or an option name is answered with the name meant; a
// name that is nothing like any known one gets no guess.
TEST(Usage, AMisspeltCommandOrOptionNamesTheOneMeant) {
    const CliRun command = RunCli({"dowload", "fw.orb"});
    EXPECT_EQ(command.status, 64);
    EXPECT_NE(command.err.find("unknown command \"dowload\"; did you mean \"download\"?"),
              std::string::npos)
        << command.err;
    const CliRun option = RunCli({"download", "fw.orb", "--fies-list", "list.txt"});
    EXPECT_EQ(option.status, 64);
    EXPECT_NE(option.err.find("unknown option \"--fies-list\"; did you mean \"--files-list\"?"),
              std::string::npos)
        << option.err;
    // Every command's table gives its guesses: a line's options, image-info's, ports', history's.
    std::vector<std::pair<std::vector<std::string>, std::string>> slips{
        {{"download", "fw.orb", "--port", "sim", "--port", "sim", "--ports-fro", "p"},
         "--ports-from"},
        {{"image-info", "fw.orb", "--revison", "2"}, "--revision"},
        {{"ports", "--jsn"}, "--json"}};
#ifndef _WIN32
    slips.push_back({{"history", "--lmit", "3"}, "--limit"});  // no history on Windows yet
#endif
    for (const auto& [arguments, meant] : slips) {
        const CliRun run = RunCli(arguments);
        EXPECT_EQ(run.status, 64);
        EXPECT_NE(run.err.find("; did you mean \"" + meant + "\"?"), std::string::npos) << run.err;
    }
    const CliRun far = RunCli({"download", "fw.orb", "--colour"});
    EXPECT_EQ(far.status, 64);
    EXPECT_EQ(far.err.find("did you mean"), std::string::npos) << far.err;
}

}  // namespace
}  // namespace vantor::test
