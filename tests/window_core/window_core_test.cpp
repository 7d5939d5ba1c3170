// The window's core as each face drives it: a face that records what it is told to draw, a
// carrier that runs the worker's calls at once under one lock (the window's thread in
// miniature), the settings store in a folder of the test's own, and the simulated drive behind
// COM1 to COM4 in virtual time.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "image/image_writer.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "support/test_support.h"
#include "ui/advanced_core.h"
#include "ui/window_core.h"

namespace vantor::ui {
namespace {

using platform::Display;

class RecordingFace final : public WindowFace {
  public:
    void ShowChoices(int port_index, int baud_choice) override {
        port = port_index;
        baud = baud_choice;
    }
    void ShowDisplay(Display display, const std::string& text) override {
        if (display == Display::StatusLine) {
            statuses.push_back(text);
        }
    }
    void ShowProgress(int, int high, int pos) override {
        progress_high = high;
        progress_pos = pos;
    }
    void ShowProgressText(const std::string&) override {}
    void ShowCause(const std::string& text) override { cause = text; }
    void ShowPlannedPaths(const std::vector<std::string>&) override {}

    int port = -2;
    int baud = -2;
    int progress_high = 0;
    int progress_pos = 0;
    std::vector<std::string> statuses;
    std::string cause;
};

class LockedCarrier final : public WindowCarrier {
  public:
    bool Carry(std::function<void(WindowCore&)> work) override {
        std::lock_guard lock(mutex);
        work(*core);
        return true;
    }
    void ShowBox(const std::string& text, const std::string& caption,
                 platform::MessageIcon) override {
        std::lock_guard lock(mutex);
        boxes.push_back(caption + ": " + text);
    }
    void Post(int notify, int message) override {
        std::lock_guard lock(mutex);
        posts.push_back(std::to_string(notify) + " " + std::to_string(message));
    }
    void PostQuit() override {
        std::lock_guard lock(mutex);
        quit = true;
    }

    std::mutex mutex;
    WindowCore* core = nullptr;
    std::vector<std::string> boxes;
    std::vector<std::string> posts;
    bool quit = false;
};

class WindowCoreTest : public ::testing::Test {
  protected:
    WindowCoreTest() {
        // Every port that the store's map names is a simulated drive, never a machine's port.
        const platform::Registry registry(store_path_);
        auto ports = registry.CreateKey(std::string(kSettingsKeyPath) + "\\Ports");
        for (const char* name : {"COM1", "COM2", "COM3", "COM4"}) {
            registry.SetValue(*ports, name, "sim");
        }
        carrier_.core = &core_;
        core_.SetWorkerLink(&carrier_, nullptr);
    }

    std::string Value(const std::string& name) {
        const platform::Registry registry(store_path_);
        auto key = registry.OpenKeyForReading(kSettingsKeyPath);
        auto value = key ? registry.QueryValue(*key, name, 4096) : std::nullopt;
        return value.value_or("(absent)");
    }
    void Store(const std::string& name, const std::string& text) {
        const platform::Registry registry(store_path_);
        auto key = registry.CreateKey(kSettingsKeyPath);
        registry.SetValue(*key, name, text);
    }
    std::string Image(int revision) {
        const std::string path = (folder_.path() / "fw.orb").string();
        image_writer::WriteFile(
            path, image_writer::ImageBuilder::Kdx(revision).FillerPackets(3, 32).Build());
        return path;
    }
    // Starts a job on the buttons given and waits for its record.
    void RunJob(int port, int baud) {
        {
            std::lock_guard lock(carrier_.mutex);
            core_.Start(port, baud);
        }
        test::AwaitOrAbort([&] { return core_.JobRecorded(); }, std::chrono::seconds(60),
                           "the window's job to end");
    }

    static constexpr const char* kSettingsKeyPath = "SOFTWARE\\Halvren\\Vantor";
    test::TempFolder folder_{"vantor-window-core"};
    std::string store_path_ = (folder_.path() / "registry").string();
    test::ScopedEnv registry_env_{"VANTOR_REGISTRY", store_path_.c_str()};
    test::ScopedEnv data_env_{"XDG_DATA_HOME", folder_.path().string().c_str()};
    test::ScopedEnv appdata_env_{"APPDATA", folder_.path().string().c_str()};
    platform::VirtualClock clock_{1'000'000'000};
    platform::ScopedClock scoped_clock_{clock_};
    test::SimDriveOnPorts drive_{""};
    RecordingFace face_;
    WindowCore core_{face_};
    LockedCarrier carrier_;
    CoreWindowLink link_{carrier_};
    platform::ScopedWindowLink scoped_link_{link_};
};

// The first run makes the key with the files list's path; a stored choice wins over the
// command line's defaults, but not over a switch; clicks and the Advanced dialog store at once.
TEST_F(WindowCoreTest, SettingsFlowBetweenTheStoreAndTheWindow) {
    core_.Host().Options.PortIndex = 1;
    core_.Host().Options.BaudChoice = 1;
    core_.OnInitDialog();
    EXPECT_EQ(face_.port, 1);
    EXPECT_EQ(face_.baud, 1);
    EXPECT_EQ(Value("FilePath"), (folder_.path() / "vantor" / "flist.txt").string());
    EXPECT_EQ(Value("COM"), "(absent)");

    Store("COM", "1");
    Store("BRAT", "9600");
    WindowCore stored(face_);
    stored.KeepSwitchChoices(false, true);
    stored.Host().Options.BaudChoice = 1;
    stored.OnInitDialog();
    EXPECT_EQ(face_.port, 0);
    EXPECT_EQ(face_.baud, 1) << "the -b switch wins for this run";

    core_.OnPortButton(3);
    core_.OnBaudButton(0);
    core_.TakeBackAdvanced({1, 0, 1, 31});
    EXPECT_EQ(Value("COM"), "4");
    EXPECT_EQ(Value("BRAT"), "9600");
    EXPECT_EQ(Value("ADDR"), " ");
    EXPECT_EQ(Value("ADDREN"), "1");
    EXPECT_EQ(core_.Host().Options.SkipSeeking.load(), 1);
}

// A single image downloaded from Start: the design's texts in order, the controlling program
// told, the quit posted, and the window idle again with the progress bar at the last packet.
TEST_F(WindowCoreTest, ASingleImageDownloadEndsTheWindowAndTellsTheController) {
    core_.Host().Options.ImagePath = Image(2);
    core_.Host().NotifyWindowFd = 77;
    core_.OnInitDialog();
    RunJob(0, 1);
    EXPECT_EQ(face_.statuses.back(), "Download successful");
    EXPECT_EQ(core_.DisplayText(Display::FileNameLabel), "fw.orb");
    EXPECT_EQ(face_.progress_pos, face_.progress_high);
    EXPECT_EQ(carrier_.posts, std::vector<std::string>{"77 1035"});
    EXPECT_TRUE(carrier_.quit);
    EXPECT_FALSE(core_.JobIsRunning());
    EXPECT_TRUE(core_.MayEndByOk());
    EXPECT_EQ(core_.WorkersStarted(), 1);
}

// An image for another hardware revision: the header box is shown through the carrier, the
// job fails with the window left open and nothing posted.
TEST_F(WindowCoreTest, AWrongRevisionImageAsksThroughTheHeaderBox) {
    core_.Host().Options.ImagePath = Image(1);
    core_.Host().NotifyWindowFd = 77;
    core_.OnInitDialog();
    RunJob(0, 1);
    ASSERT_EQ(carrier_.boxes.size(), 1U);
    EXPECT_EQ(carrier_.boxes[0].rfind("Orrim file error: ", 0), 0U) << carrier_.boxes[0];
    EXPECT_EQ(face_.statuses.back(), "ERROR: Download failed.");
    EXPECT_TRUE(carrier_.posts.empty());
    EXPECT_FALSE(carrier_.quit);
}

// Start with no port button checked: the job reports the design's text, and the reason shown
// under it says what to do; the cancel command tells the controlling program.
TEST_F(WindowCoreTest, NoPortCheckedIsExplainedAndTheCloseIsPosted) {
    core_.Host().Options.ImagePath = Image(2);
    core_.Host().NotifyWindowFd = 5;
    core_.OnInitDialog();
    RunJob(-1, -1);
    EXPECT_EQ(face_.statuses.back(), "Error : Failed to initialize COM port");
    EXPECT_EQ(face_.cause, "no port is chosen: check one of Com1 to Com4");
    core_.PostProgramClosed();
    EXPECT_EQ(carrier_.posts, std::vector<std::string>{"5 1034"});
}

// The files table keeps its rows in name order without regard to case, refuses nothing itself
// (the faces ask HasName first), removes exactly the rows chosen, and names a row that the
// files list could not give back.
TEST(FilesTable, OrdersRemovesAndRefusesWhatTheListCannotKeep) {
    FilesTable table;
    for (const char* name : {"b.orb", "X.orb", "a.orb", "x.orb", "c.orb"}) {
        table.Insert({name, std::string("/fw/") + name});
    }
    std::vector<std::string> names;
    for (const FilesListEntry& row : table.Rows()) {
        names.push_back(row.Name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a.orb", "b.orb", "c.orb", "X.orb", "x.orb"}));
    EXPECT_TRUE(table.HasName("X.orb"));
    EXPECT_FALSE(table.HasName("B.orb"));
    table.Remove({3, 1});
    EXPECT_EQ(table.Rows().size(), 3U);
    EXPECT_EQ(table.Rows()[1].Name, "c.orb");
    EXPECT_EQ(LineProblem("fw.orb", "/fw/fw.orb"), nullptr);
    EXPECT_NE(LineProblem("fw .orb ", "/fw/x"), nullptr);
    EXPECT_NE(LineProblem("a    b.orb", "/fw/x"), nullptr);
    EXPECT_NE(LineProblem("fw.orb", "/" + std::string(200, 'p')), nullptr);
    EXPECT_EQ(AddressItemText(9) + AddressItemText(10) + AddressItemText(31), "9AV");
}

}  // namespace
}  // namespace vantor::ui
