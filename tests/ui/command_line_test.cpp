// The command line: the image, the port, the speed and the window to notify.
#include <fcntl.h>
#include <unistd.h>
#include <QTemporaryFile>
#include <QTest>

#include "tests.h"
#include "ui/command_line.h"

namespace vantor::ui::test {

namespace {

std::vector<std::string> Split(const QString& line) {
    std::vector<std::string> params;
    for (const QString& part : line.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        params.push_back(part.toStdString());
    }
    return params;
}

}  // namespace

void CommandLineTest::AppliesTheSwitches_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("notify");

    QTest::newRow("none") << ""
                          << "" << 1 << 1 << 0;
    QTest::newRow("all switches") << "fw.orb -c COM3 -b 9600 -m 1234"
                                  << "fw.orb" << 2 << 0 << 1234;
    // Mended: a switch's value is never the image, so a shortcut that only chooses the port
    // still downloads the files list.
    QTest::newRow("value before image") << "-c COM3 fw.orb"
                                        << "fw.orb" << 2 << 1 << 0;
    QTest::newRow("port and speed only") << "-c COM1 -b 19200"
                                         << "" << 0 << 1 << 0;
    QTest::newRow("case matters") << "-C COM3"
                                  << "" << 1 << 1 << 0;
    QTest::newRow("19200") << "-b 19200"
                           << "" << 1 << 1 << 0;
    QTest::newRow("fast") << "-b fast"
                          << "" << 1 << 1 << 0;
    QTest::newRow("longer than 9600") << "-b 96000"
                                      << "" << 1 << 1 << 0;
    QTest::newRow("c without value") << "-c"
                                     << "" << 20 << 1 << 0;
    QTest::newRow("c without value, then b") << "-c -b 9600"
                                             << "" << 20 << 0 << 0;
    QTest::newRow("m zero") << "-m 0"
                            << "" << 1 << 1 << 0;
    QTest::newRow("m not a number") << "-m abc"
                                    << "" << 1 << 1 << 0;
    QTest::newRow("m with blanks and sign") << "-m +77x"
                                            << "" << 1 << 1 << 77;
    QTest::newRow("m negative") << "-m -5"
                                << "" << 1 << 1 << 0;
    QTest::newRow("m without value") << "-m"
                                     << "" << 1 << 1 << 0;
    QTest::newRow("b without value") << "-b"
                                     << "" << 1 << 1 << 0;
    QTest::newRow("switch given twice") << "-c COM1 -c COM4"
                                        << "" << 3 << 1 << 0;
    QTest::newRow("COM1") << "x.orb -c COM1"
                          << "x.orb" << 0 << 1 << 0;
    QTest::newRow("COM4") << "x.orb -c COM4"
                          << "x.orb" << 3 << 1 << 0;
    // Mended: "/" no longer starts a switch, since every absolute path begins with it.
    QTest::newRow("absolute image path") << "/data/fw.orb -c COM3"
                                         << "/data/fw.orb" << 2 << 1 << 0;
    QTest::newRow("slash is no switch") << "/c COM3"
                                        << "/c" << 1 << 1 << 0;
    // Mended: a value too short to hold a port digit chooses no port.
    QTest::newRow("short port value") << "-c CO"
                                      << "" << -1 << 1 << 0;
    QTest::newRow("port switch again without value") << "-c x -c"
                                                     << "" << 20 << 1 << 0;
    QTest::newRow("other switches ignored") << "-pt a b c -q"
                                            << "b" << 1 << 1 << 0;
    QTest::newRow("unknown long switch ignored") << "--fast fw.orb -c COM4"
                                                 << "" << 3 << 1 << 0;
}

void CommandLineTest::AppliesTheSwitches() {
    QFETCH(QString, line);
    QFETCH(QString, image);
    QFETCH(int, port);
    QFETCH(int, baud);
    QFETCH(int, notify);

    SwitchCommandLineInfo info;
    ParseCommandLine(Split(line), info);
    JobHost host;
    ApplyCommandLine(info, host);
    QCOMPARE(QString::fromStdString(host.Options.ImagePath), image);
    QCOMPARE(host.Options.PortIndex.load(), port);
    QCOMPARE(host.Options.BaudChoice.load(), baud);
    QCOMPARE(host.NotifyWindowFd.load(), notify);
}

void CommandLineTest::NegativeNotifyNumberIsKeptButPostsNothing() {
    // The number is kept as given; posting to a negative descriptor is refused by the post.
    QCOMPARE(NotifyWindowFromSwitch("  -5"), -5);
    QCOMPARE(NotifyWindowFromSwitch("99999999999999"), 2147483647);
}

void CommandLineTest::HelpAndVersionNeedNoWindow() {
    const auto help = InfoSwitchText({"fw.orb", "--help", "--version"});
    QVERIFY(help.has_value());
    QVERIFY(help->rfind("Usage: vantor [IMAGE] [-c COMn] [-b SPEED] [-m FD]\n", 0) == 0);
    QCOMPARE(InfoSwitchText({"--version"}).value_or(""), std::string("vantor 2.0.7\n"));
    QVERIFY(!InfoSwitchText({"-help", "--helpful", "-c", "COM1"}).has_value());
}

// Catches a post written into a descriptor the program did not inherit for it: the display
// connection, a terminal, a read end.
void CommandLineTest::NotifyNumberMustNameAnInheritedChannel() {
    int fds[2];
    QVERIFY(::pipe2(fds, O_CLOEXEC) == 0);
    QTemporaryFile file;
    QVERIFY(file.open());
    const int closed = ::dup(fds[0]);
    ::close(closed);
    const int null_device = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const auto check = [](int fd) { return InheritedNotifyDescriptor({"-m", std::to_string(fd)}); };
    QCOMPARE(check(fds[1]), fds[1]);
    QCOMPARE(check(file.handle()), file.handle());
    QCOMPARE(check(fds[0]), 0);       // open for reading only
    QCOMPARE(check(closed), 0);       // not open
    QCOMPARE(check(null_device), 0);  // a device, as a terminal is
    QCOMPARE(InheritedNotifyDescriptor({"fw.orb"}), 0);
    ::close(null_device);
    ::close(fds[0]);
    ::close(fds[1]);
}

void CommandLineTest::RecordsSwitchesAndPendingSwitch() {
    SwitchCommandLineInfo info;
    ParseCommandLine({"-a", "-b", "9600", "plain", "-z"}, info);
    QCOMPARE(info.Switches.size(), std::size_t{3});
    QCOMPARE(QString::fromStdString(info.Switches["a"]), QStringLiteral("TRUE"));
    QCOMPARE(QString::fromStdString(info.Switches["b"]), QStringLiteral("9600"));
    QCOMPARE(QString::fromStdString(info.Switches["z"]), QStringLiteral("TRUE"));
    QCOMPARE(QString::fromStdString(info.PendingSwitch), QStringLiteral("z"));
    std::string value = "unchanged";
    QVERIFY(!info.GetSwitch("plain", value));
    QCOMPARE(QString::fromStdString(value), QStringLiteral("unchanged"));
}

}  // namespace vantor::ui::test
