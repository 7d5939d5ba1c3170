// The settings store as the main window loads and writes it.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <climits>
#include <filesystem>
#include <fstream>

#include "tests.h"
#include "ui/command_line.h"
#include "ui/downloader_app.h"
#include "ui/main_dialog.h"
#include "ui/settings_store.h"
#include "ui_test_support.h"

namespace vantor::ui::test {

namespace {

struct Loaded {
    std::string files_list;
    int port;
    int baud;
    int address;
    int use_address;
};

// Loads the store into a new window whose options hold what the command line gave.
Loaded LoadIntoWindow(int port = 1, int baud = 1) {
    MainDialog dialog;
    JobOptions& options = dialog.Host().Options;
    options.PortIndex = port;
    options.BaudChoice = baud;
    dialog.LoadSettings();
    return {options.FilesListPath, options.PortIndex, options.BaudChoice, options.SpecificAddress,
            options.UseSpecificAddress};
}

}  // namespace

void SettingsTest::FirstRunStoresOnlyTheFilesListPath() {
    TempStore store;
    const Loaded loaded = LoadIntoWindow();
    const std::string expected = store.DataFolder() + "/vantor/flist.txt";
    QCOMPARE(QString::fromStdString(loaded.files_list), QString::fromStdString(expected));
    QVERIFY(std::filesystem::is_directory(store.DataFolder() + "/vantor"));
    QCOMPARE(store.SettingsValues(), (platform::Registry::Values{{"FilePath", expected}}));
    QCOMPARE(loaded.port, 1);
    QCOMPARE(loaded.baud, 1);
    QCOMPARE(loaded.address, 0);
    QCOMPARE(loaded.use_address, 0);
}

void SettingsTest::FilesListPathIsReadBack_data() {
    QTest::addColumn<int>("length");
    QTest::addColumn<bool>("taken");
    QTest::newRow("short") << 12 << true;
    // Mended: the default list in a deep home folder is stored in full on the first run and
    // must be read back in full on every later one.
    QTest::newRow("over 100 bytes") << 101 << true;
    QTest::newRow("fills PATH_MAX") << PATH_MAX << true;
    // Catches a long path read cut short instead of counting as absent.
    QTest::newRow("over PATH_MAX") << PATH_MAX + 1 << false;
}

void SettingsTest::FilesListPathIsReadBack() {
    QFETCH(int, length);
    QFETCH(bool, taken);
    TempStore store;
    const std::string path = "/" + std::string(static_cast<std::size_t>(length - 1), 'p');
    store.Store("FilePath", path);
    const Loaded loaded = LoadIntoWindow();
    QCOMPARE(QString::fromStdString(loaded.files_list),
             taken ? QString::fromStdString(path) : QString());
    QCOMPARE(QString::fromStdString(store.SettingsValues().at("FilePath")),
             QString::fromStdString(path));
}

void SettingsTest::ComSelectsThePort_data() {
    QTest::addColumn<QString>("com");
    QTest::addColumn<int>("port");
    QTest::newRow("1") << "1" << 0;
    QTest::newRow("2") << "2" << 1;
    QTest::newRow("3") << "3" << 2;
    QTest::newRow("4") << "4" << 3;
    QTest::newRow("5") << "5" << 1;
    QTest::newRow("letter") << "x" << 1;
    QTest::newRow("empty") << "" << 1;
    QTest::newRow("two characters") << "41" << 3;
    // Three bytes do not fit the 2-byte buffer: the switch's port stays.
    QTest::newRow("too long") << "412" << 2;
}

void SettingsTest::ComSelectsThePort() {
    QFETCH(QString, com);
    QFETCH(int, port);
    TempStore store;
    store.Store("COM", com.toStdString());
    QCOMPARE(LoadIntoWindow(2, 1).port, port);
}

void SettingsTest::BratSelectsTheSpeed_data() {
    QTest::addColumn<QString>("brat");
    QTest::addColumn<int>("baud");
    QTest::newRow("9600") << "9600" << 0;
    QTest::newRow("19200") << "19200" << 1;
    QTest::newRow("4800") << "4800" << 1;
    QTest::newRow("9600 and a blank") << "9600 " << 1;
    QTest::newRow("empty") << "" << 1;
    // Nine bytes do not fit the 8-byte buffer: the switch's speed stays.
    QTest::newRow("too long") << "960000000" << 0;
}

void SettingsTest::BratSelectsTheSpeed() {
    QFETCH(QString, brat);
    QFETCH(int, baud);
    TempStore store;
    store.Store("BRAT", brat.toStdString());
    QCOMPARE(LoadIntoWindow(1, 0).baud, baud);
}

void SettingsTest::AddressRoundTrips() {
    // Catches a store that loses control characters: addresses are kept as codes 1 to 32.
    TempStore store;
    for (int address = 0; address <= 31; ++address) {
        WriteSetting("ADDR", AddrText(address));
        QCOMPARE(store.SettingsValues().at("ADDR"), std::string(1, static_cast<char>(address + 1)));
        QCOMPARE(LoadIntoWindow().address, address);
    }
}

void SettingsTest::EmptyAddressMeansNoneChosen() {
    TempStore store;
    WriteSetting("ADDR", AddrText(-1));
    QCOMPARE(store.SettingsValues().at("ADDR"), std::string());
    QCOMPARE(LoadIntoWindow().address, -1);
}

void SettingsTest::AddrenRoundTrips_data() {
    QTest::addColumn<QString>("addren");
    QTest::addColumn<int>("use");
    QTest::newRow("0") << "0" << 0;
    QTest::newRow("1") << "1" << 1;
    QTest::newRow("empty") << "" << 0;
}

void SettingsTest::AddrenRoundTrips() {
    QFETCH(QString, addren);
    QFETCH(int, use);
    TempStore store;
    WriteSetting("ADDREN", addren.toStdString());
    QCOMPARE(LoadIntoWindow().use_address, use);
}

void SettingsTest::SwitchesWinOverStoredPortAndSpeed_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("baud");
    // Mended: the port that the controlling program names is the drive it means to flash.
    QTest::newRow("both switches") << "fw.orb -c COM3 -b 19200" << 2 << 1;
    QTest::newRow("port switch only") << "-c COM3" << 2 << 0;
    QTest::newRow("no switch: the store") << "" << 0 << 0;
}

void SettingsTest::SwitchesWinOverStoredPortAndSpeed() {
    QFETCH(QString, line);
    QFETCH(int, port);
    QFETCH(int, baud);
    TempStore store;
    store.Store("COM", "1");
    store.Store("BRAT", "9600");
    std::vector<std::string> params;
    for (const QString& part : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        params.push_back(part.toStdString());
    }
    DownloaderApp app;
    int checked_port = -2;
    int checked_baud = -2;
    // Read inside the window's modal run, then closed as the operator would.
    QTimer::singleShot(0, [&] {
        MainDialog& dialog = *app.MainWindow;
        for (int i = 0; i < 4; ++i) {
            checked_port = dialog.PortButton(i)->isChecked() ? i : checked_port;
        }
        for (int i = 0; i < 2; ++i) {
            checked_baud = dialog.BaudButton(i)->isChecked() ? i : checked_baud;
        }
        QTest::mouseClick(dialog.PortButton(3), Qt::LeftButton);
        dialog.ExitButton()->click();
    });
    app.InitInstance(params);
    QCOMPARE(checked_port, port);
    QCOMPARE(checked_baud, baud);
    // The operator's click is still kept for the next run.
    QCOMPARE(store.SettingsValues().at("COM"), std::string("4"));
    QCOMPARE(store.SettingsValues().at("BRAT"), std::string("9600"));
}

void SettingsTest::ButtonClicksAreRememberedAcrossRuns() {
    TempStore store;
    {
        MainDialog first;
        first.OnInitDialog();
        QTest::mouseClick(first.PortButton(3), Qt::LeftButton);
        QTest::mouseClick(first.BaudButton(0), Qt::LeftButton);
        // A click stores the choice; the option itself changes only at Start.
        QCOMPARE(first.Host().Options.PortIndex.load(), -1);
    }
    QCOMPARE(store.SettingsValues().at("COM"), std::string("4"));
    QCOMPARE(store.SettingsValues().at("BRAT"), std::string("9600"));
    MainDialog second;
    second.OnInitDialog();
    QVERIFY(second.PortButton(3)->isChecked());
    QVERIFY(second.BaudButton(0)->isChecked());
}

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteStoreText(const TempStore& store, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(store.RegistryPath()).parent_path());
    std::ofstream(store.RegistryPath(), std::ios::binary) << text;
}

}  // namespace

// Catches a damaged store thrown away at start-up without a word on the screen: its port map
// gone, COM1 stood for /dev/ttyS0 again and the next Start talked to whatever is on that line.
void SettingsTest::DamagedStoreIsShownAndKeptAsItIs() {
    TempStore store;
    // Line 5 is not a store's line; the map above it is the operator's.
    const std::string text =
        "VantorRegistry 1\n[SOFTWARE\\Halvren\\Vantor\\Ports]\nCOM1=sim\nCOM2=sim\n"
        "COM3 sim\nCOM4=sim\n[SOFTWARE\\Halvren\\Vantor]\nCOM=1\n";
    WriteStoreText(store, text);
    MainDialog dialog;
    dialog.Host().Options.PortIndex = 1;
    dialog.Host().Options.BaudChoice = 1;
    dialog.OnInitDialog();
    dialog.show();
    QMessageBox* box = nullptr;
    QVERIFY(QTest::qWaitFor([&] {
        box = dialog.findChild<QMessageBox*>(QStringLiteral("StoreProblemBox"));
        return box != nullptr && box->isVisible();
    }));
    const QString said = box->text();
    QVERIFY2(said.contains(QString::fromStdString(store.RegistryPath())), qPrintable(said));
    QVERIFY2(said.contains(QStringLiteral("line 5: neither [KEY] nor NAME=VALUE")),
             qPrintable(said));
    QCOMPARE(box->parentWidget(), &dialog);
    const QDir folder(QStringLiteral(VANTOR_SCREENSHOT_DIR));
    QVERIFY(box->grab().save(folder.filePath(QStringLiteral("damaged_store_box.png"))));

    // Answered, the box gives the keyboard back to the window.
    box->button(QMessageBox::Ok)->click();
    QVERIFY(QTest::qWaitFor([&] { return QApplication::activeWindow() == &dialog; }));
    // Then the operator goes on: a click writes nothing into the file, and Start opens no port
    // through a map it cannot read, saying why under the status text.
    // An image that the checks before the port pass, so that the port is what stops the job.
    const std::string image = WriteTestImage(2);
    dialog.Host().Options.ImagePath = image;
    QTest::mouseClick(dialog.PortButton(0), Qt::LeftButton);
    QTest::mouseClick(dialog.StartButton(), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor(
        [&] { return dialog.Host().JobRunning.load() == 0 && !dialog.ShownCause().empty(); }));
    QCOMPARE(dialog.Label(platform::Display::StatusLine)->text(),
             QStringLiteral("Error : Failed to initialize COM port"));
    const std::string cause = dialog.ShownCause();
    QVERIFY2(
        cause.rfind("COM1 has no device: the settings store \"" + store.RegistryPath(), 0) == 0,
        cause.c_str());
    QVERIFY(dialog.grab().save(folder.filePath(QStringLiteral("main_window_damaged_store.png"))));

    QCOMPARE(ReadFile(store.RegistryPath()), text);
    std::remove(image.c_str());
    const auto files = std::distance(std::filesystem::directory_iterator(
                                         std::filesystem::path(store.RegistryPath()).parent_path()),
                                     std::filesystem::directory_iterator());
    // The store and its lock file, nothing set aside.
    QVERIFY(files <= 2);
}

// Catches the operator's comment lines, which the store's reader skips, being dropped by the
// next write.
void SettingsTest::CommentLinesSurviveAWrite() {
    TempStore store;
    WriteStoreText(
        store,
        "VantorRegistry 1\r\n# the bench's adapters\r\n[SOFTWARE\\Halvren\\Vantor\\Ports]"
        "\r\nCOM1=sim\r\nCOM2=sim\r\n# COM3 is the spare\r\nCOM3=sim\r\nCOM4=sim\r\n");
    MainDialog dialog;
    dialog.OnInitDialog();
    QTest::mouseClick(dialog.PortButton(2), Qt::LeftButton);
    const std::string expected =
        "VantorRegistry 1\r\n# the bench's adapters\r\n[SOFTWARE\\Halvren\\Vantor\\Ports]\r\n"
        "COM1=sim\r\nCOM2=sim\r\n# COM3 is the spare\r\nCOM3=sim\r\nCOM4=sim\r\n"
        "[SOFTWARE\\x5cHalvren\\x5cVantor]\r\nFilePath=" +
        store.DataFolder() + "/vantor/flist.txt\r\nCOM=3\r\n";
    QCOMPARE(ReadFile(store.RegistryPath()), expected);
}

}  // namespace vantor::ui::test
