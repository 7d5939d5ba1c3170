// Which port and rate a run uses when the command line names none: the window's last choice in
// the settings store the two programs share, else COM1 and 9600, said on stderr and in the start
// event; and --port auto, the one USB serial adapter present. Every store here maps COM1 to COM4
// to simulated drives told apart by their IdentWord, so that no run reaches a machine's port.
#include <glob.h>

#include <gtest/gtest.h>

#include "cli/cli_runner.h"
#include "platform/serial/port_identity.h"
#include "support/json_lines.h"

namespace vantor::test {
namespace {

constexpr int kPortUnopenable = 5;

// A store whose COM<n> is the simulated drive with the IdentWord 0x208<n>, and `settings`
// (lines such as "COM=2") under the window's key.
std::string StoreWith(const TempDir& dir, const std::string& settings) {
    return dir.Write("registry",
                     "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor]\n" + settings +
                         "[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM1=sim:ident=0x2081\n"
                         "COM2=sim:ident=0x2082\nCOM3=sim:ident=0x2083\nCOM4=sim:ident=0x2084\n");
}

JsonObject EventOf(const CliRun& run, const std::string& kind) {
    for (const JsonObject& event : ParseJsonLines(run.out)) {
        if (StringField(event, "event") == kind) {
            return event;
        }
    }
    ADD_FAILURE() << "no " << kind << " event in\n" << run.out;
    return JsonObject::object();
}

// Catches a run that ignores the operator's choice in the window and goes to COM1 at 9600, and
// one that lets the store override what the command line says.
TEST(PortChoice, WithoutPortOrBaudARunTakesTheWindowsLastChoiceAndTheOptionsWin) {
    TempDir dir;
    const std::string store = StoreWith(dir, "COM=2\nBRAT=19200\n");

    const CliRun stored = RunCliWithStore({"identify", "--virtual-time"}, store);
    EXPECT_EQ(stored.status, 0) << stored.err;
    EXPECT_NE(stored.out.find("IdentWord: 0x2082"), std::string::npos) << stored.out;
    EXPECT_NE(stored.err.find("vantor-cli: port COM2 (sim:ident=0x2082) and 19200 baud, as the "
                              "window last used them; --port and --baud choose others\n"),
              std::string::npos)
        << stored.err;

    const CliRun json = RunCliWithStore({"identify", "--virtual-time", "--json"}, store);
    const JsonObject start = EventOf(json, "start");
    EXPECT_EQ(StringField(start, "port"), "COM2");
    EXPECT_EQ(start.value("baud", 0), 19200);
    EXPECT_EQ(StringField(start, "port_source"), "store");
    EXPECT_EQ(StringField(start, "baud_source"), "store");
    EXPECT_EQ(json.err, "");

    const CliRun port_given =
        RunCliWithStore({"identify", "--virtual-time", "--json", "--port", "COM3"}, store);
    EXPECT_EQ(EventOf(port_given, "identity").value("ident_word", 0), 0x2083);
    const JsonObject given = EventOf(port_given, "start");
    EXPECT_EQ(StringField(given, "port_source"), "option");
    EXPECT_EQ(given.value("baud", 0), 19200);
    EXPECT_EQ(StringField(given, "baud_source"), "store");
}

struct StoredCase {
    const char* name;
    std::string settings;  // the window's values in the store
    const char* port;
    int baud;
    const char* port_source;
    const char* baud_source;
};

void PrintTo(const StoredCase& c, std::ostream* out) {
    *out << c.name;
}

class StoredChoices : public testing::TestWithParam<StoredCase> {};

// Catches a reading of the store that differs from the window's, so that the command line and
// the window would use different ports for one stored choice.
TEST_P(StoredChoices, AreReadAsTheWindowReadsThem) {
    const StoredCase& c = GetParam();
    TempDir dir;
    const CliRun run =
        RunCliWithStore({"identify", "--virtual-time", "--json"}, StoreWith(dir, c.settings));
    EXPECT_EQ(run.status, 0) << run.err;
    const JsonObject start = EventOf(run, "start");
    EXPECT_EQ(StringField(start, "port"), c.port);
    EXPECT_EQ(start.value("baud", 0), c.baud);
    EXPECT_EQ(StringField(start, "port_source"), c.port_source);
    EXPECT_EQ(StringField(start, "baud_source"), c.baud_source);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, StoredChoices,
    testing::Values(
        StoredCase{"NothingStored", "", "COM1", 9600, "default", "default"},
        StoredCase{"AnyOtherCharacterIsCom2", "COM=x\n", "COM2", 9600, "store", "default"},
        StoredCase{"AnyOtherRateIs19200", "BRAT=9600 \n", "COM1", 19200, "default", "store"},
        StoredCase{"TooLongCountsAsAbsent", "COM=123\nBRAT=192000000\n", "COM1", 9600, "default",
                   "default"}),
    [](const testing::TestParamInfo<StoredCase>& param) { return param.param.name; });

// Catches a line that hides the device behind the default port name, and a damaged store whose
// port map gives way to the default devices.
TEST(PortChoice, TheDefaultsNameTheirDeviceAndADamagedStoreIsRefused) {
    TempDir dir;
    const CliRun fresh = RunCliWithStore({"identify", "--virtual-time"}, StoreWith(dir, ""));
    EXPECT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_NE(fresh.err.find("vantor-cli: port COM1 (sim:ident=0x2081) and 9600 baud, the "
                             "defaults; --port and --baud choose others\n"),
              std::string::npos)
        << fresh.err;

    const std::string damaged = dir.Write("damaged", "COM=2\n");
    const CliRun refused = RunCliWithStore({"identify"}, damaged);
    EXPECT_EQ(refused.status, kPortUnopenable) << refused.err;
    EXPECT_NE(refused.err.find("port COM1 (no device) and 9600 baud, the defaults, as the "
                               "settings store cannot be read"),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find("COM1 has no device: the settings store"), std::string::npos)
        << refused.err;
    EXPECT_EQ(TempDir::Read(damaged), "COM=2\n");
}

platform::SerialDeviceEntry Device(const std::string& path, const std::string& usb_id = "",
                                   const std::string& product = "",
                                   const std::string& serial = "") {
    platform::SerialDeviceEntry device;
    device.path = path;
    device.usb_id = usb_id;
    device.product = product;
    device.serial = serial;
    return device;
}

// Catches an auto that guesses between adapters (the wrong one may hold another bench's drive),
// takes the machine's own port, or refuses without naming what it found.
TEST(PortAuto, TakesOnlyTheOneUsbAdapterAndNamesEachWhenThereAreSeveral) {
    const auto board = Device("/dev/ttyS0");
    const auto ftdi = Device("/dev/ttyUSB0", "0403:6001", "FT232R USB UART", "A10K3Q");
    const auto modem = Device("/dev/ttyACM0");  // no USB details reported

    EXPECT_EQ(platform::ResolvePortIdentity("auto", {board, ftdi}).device, "/dev/ttyUSB0");
    EXPECT_EQ(platform::ResolvePortIdentity("auto", {modem, board}).device, "/dev/ttyACM0");

    const auto none = platform::ResolvePortIdentity("auto", {board});
    EXPECT_EQ(none.device, "");
    EXPECT_NE(none.error.find("auto: no USB serial adapter is present"), std::string::npos)
        << none.error;

    const auto several = platform::ResolvePortIdentity("auto", {ftdi, board, modem});
    EXPECT_EQ(several.device, "");
    EXPECT_NE(several.error.find("2 USB serial adapters are present, /dev/ttyUSB0 (FT232R USB "
                                 "UART, serial A10K3Q), /dev/ttyACM0 (no product name, no "
                                 "serial number)"),
              std::string::npos)
        << several.error;
}

bool AnyDevice(const char* pattern) {
    glob_t found{};
    const bool any = ::glob(pattern, 0, nullptr, &found) == 0;
    ::globfree(&found);
    return any;
}

// The real device list behind --port auto, on a machine with no USB serial adapter: the run
// opens nothing and ends as a port that cannot be opened.
TEST(PortAuto, RefusesWhereNoUsbAdapterIsPresent) {
    if (AnyDevice("/dev/ttyUSB*") || AnyDevice("/dev/ttyACM*")) {
        GTEST_SKIP() << "a USB serial adapter is plugged in";
    }
    TempDir dir;
    const CliRun run = RunCliWithStore({"identify", "--port", "auto"}, StoreWith(dir, "COM=2\n"));
    EXPECT_EQ(run.status, kPortUnopenable) << run.err;
    EXPECT_NE(run.err.find("vantor-cli: --port auto: no USB serial adapter is present"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(run.out.find("Seeking"), std::string::npos) << run.out;
}

}  // namespace
}  // namespace vantor::test
