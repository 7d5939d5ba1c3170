// The real program on a real X server: its windows as the window system stacks and blocks
// them, with and without a window manager, answered with the keys and clicks an operator gives
// (sent through the X server's test extension). The drive is the simulated one, in real time.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <memory>
#include <sstream>

#include "image/image_writer.h"
#include "platform/registry.h"
#include "ui/dialog_units.h"
#include "ui/settings_store.h"

namespace vantor::ui::test {

namespace {

// Every wait for the program or the window system; the steps here take a second or two.
constexpr int kDeadlineMs = 30000;
const QString kMainTitle = QStringLiteral("Vantor KDX v2.0.7");

// Runs a helper tool to its end, within the deadline; its output without the line end.
QString Tool(const QString& program, const QStringList& args) {
    QProcess tool;
    tool.start(program, args);
    if (!tool.waitForFinished(kDeadlineMs)) {
        tool.kill();
        tool.waitForFinished(kDeadlineMs);
        return {};
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

QString Xdotool(const QStringList& args) {
    return Tool(QStringLiteral(VANTOR_XDOTOOL), args);
}

QString VisibleWindow(const QString& title) {
    const QString pattern = QLatin1Char('^') + QRegularExpression::escape(title) + QLatin1Char('$');
    return Xdotool({"search", "--onlyvisible", "--name", pattern}).section(QLatin1Char('\n'), 0, 0);
}

// The window with this title once it is on the screen; empty when it never comes.
QString WaitForWindow(const QString& title) {
    QString id;
    if (!QTest::qWaitFor([&] { return !(id = VisibleWindow(title)).isEmpty(); }, kDeadlineMs)) {
        return {};
    }
    return id;
}

bool WaitUntilGone(const QString& title) {
    return QTest::qWaitFor([&] { return VisibleWindow(title).isEmpty(); }, kDeadlineMs);
}

// The window's client area on the screen, as the X server has it (xdotool's own report counts
// a window manager's frame twice).
QRect ScreenRect(const QString& id) {
    QMap<QString, int> values;
    for (const QString& line : Tool(QStringLiteral(VANTOR_XWININFO), {"-id", id}).split('\n')) {
        values[line.section(':', 0, 0).trimmed()] = line.section(':', 1).trimmed().toInt();
    }
    return {values["Absolute upper-left X"], values["Absolute upper-left Y"], values["Width"],
            values["Height"]};
}

void ClickAt(QPoint point) {
    Xdotool({"mousemove", "--sync", QString::number(point.x()), QString::number(point.y())});
    Xdotool({"click", "1"});
}

// Clicks a control of the main window, placed by its template in dialog units.
void ClickControl(const QString& window, QRect rect_du) {
    const DialogUnits units(DialogFont());
    const QRect rect = units.Rect(rect_du.x(), rect_du.y(), rect_du.width(), rect_du.height());
    ClickAt(ScreenRect(window).topLeft() + rect.center());
}

const QRect kStartDu(153, 119, 43, 13);
const QRect kAdvancedDu(201, 119, 43, 13);
const QRect kExitDu(248, 119, 43, 13);

// Where the OK button of a one-button box of this size sits: a box laid out here, off the
// screen, in the program's style, gives its place from the bottom edge and from the centre or
// the right edge, which the box's text does not change.
QPoint OkButtonIn(QRect box_rect) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Orrim file error"),
                    QStringLiteral("A text"), QMessageBox::Ok);
    box.setAttribute(Qt::WA_DontShowOnScreen);
    box.show();
    const QAbstractButton* ok = box.button(QMessageBox::Ok);
    const QPoint centre = ok->mapTo(&box, ok->rect().center());
    const int from_bottom = box.height() - centre.y();
    const bool centred = box.style()->styleHint(QStyle::SH_MessageBox_CenterButtons) != 0;
    const int x = centred ? box_rect.width() / 2 + (centre.x() - box.width() / 2)
                          : box_rect.width() - (box.width() - centre.x());
    box.hide();
    return box_rect.topLeft() + QPoint(x, box_rect.height() - from_bottom);
}

void SaveScreen(const QString& name) {
    const QDir folder(QStringLiteral(VANTOR_SCREENSHOT_DIR));
    QVERIFY(folder.mkpath(QStringLiteral(".")));
    QVERIFY(QGuiApplication::primaryScreen()->grabWindow(0).save(folder.filePath(name)));
}

// A window manager on the display for the scope, ready before the program starts.
class WindowManager {
  public:
    WindowManager() {
        process_.start(QStringLiteral(VANTOR_WINDOW_MANAGER), {});
        ready_ = QTest::qWaitFor(
            [] {
                return Tool(QStringLiteral(VANTOR_XPROP), {"-root", "_NET_SUPPORTING_WM_CHECK"})
                    .contains(QLatin1String("window id"));
            },
            kDeadlineMs);
    }
    ~WindowManager() {
        process_.kill();
        process_.waitForFinished(kDeadlineMs);
    }
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    bool Ready() const { return ready_; }

  private:
    QProcess process_;
    bool ready_ = false;
};

// One run of `vantor` with a store of its own: COM1 is a simulated drive in command mode at
// address 0, chosen as the specific address, so that no seeking slows the run, and COM2 to COM4
// are simulated drives too. Descriptor 3 is a file that takes the posts, or closed.
class Program {
  public:
    Program(const QStringList& args, bool notify_file) {
        const platform::Registry registry(folder_.filePath("registry").toStdString());
        auto ports = registry.CreateKey(platform::kPortsKey);
        auto settings = registry.CreateKey(kSettingsKey);
        if (ports && settings) {
            registry.SetValue(*ports, "COM1", "sim:address=0");
            // No port of the store may fall back to a device of the machine.
            for (const char* name : {"COM2", "COM3", "COM4"}) {
                registry.SetValue(*ports, name, "sim");
            }
            registry.SetValue(*settings, "ADDREN", "1");
            registry.SetValue(*settings, "ADDR", std::string(1, '\x01'));
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VANTOR_REGISTRY", folder_.filePath("registry"));
        environment.insert("XDG_DATA_HOME", folder_.filePath("data"));
        environment.insert("VANTOR_NOTIFY", NotifyPath());
        process_.setProcessEnvironment(environment);
        const QString redirect =
            notify_file ? QStringLiteral("3>\"$VANTOR_NOTIFY\"") : QStringLiteral("3>&-");
        process_.start(QStringLiteral("/bin/sh"),
                       QStringList{"-c", "exec \"$0\" \"$@\" " + redirect, VANTOR_PROGRAM} + args);
    }
    ~Program() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(kDeadlineMs);
        }
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    QString NotifyPath() const { return folder_.filePath("notify"); }
    // True when the program ended by itself, cleanly, within the deadline.
    bool EndsCleanly() {
        const bool ended =
            QTest::qWaitFor([&] { return process_.state() == QProcess::NotRunning; }, kDeadlineMs);
        return ended && process_.state() == QProcess::NotRunning &&
               process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    std::string Posted() const {
        std::ifstream file(NotifyPath().toStdString());
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

  private:
    QTemporaryDir folder_;
    QProcess process_;
};

// An image in `folder` for hardware revision `revision`, with `packets` packets.
std::string WriteImage(const QTemporaryDir& folder, int packets, int revision) {
    const std::string path = folder.filePath("fw.orb").toStdString();
    const std::string temp =
        image_writer::ImageBuilder::Kdx(revision).FillerPackets(packets, 64).WriteTemp();
    std::rename(temp.c_str(), path.c_str());
    return path;
}

}  // namespace

class X11ProgramTest : public QObject {
    Q_OBJECT
  private slots:
    void HeaderMessageIsAnsweredOnTheScreen_data();
    void HeaderMessageIsAnsweredOnTheScreen();
    void QuitEndsTheProgramWithAdvancedOpen();
    void OwnDescriptorNamedByMIsLeftAlone();
    void HelpAndVersionOpenNoWindow();
};

void X11ProgramTest::HeaderMessageIsAnsweredOnTheScreen_data() {
    QTest::addColumn<bool>("with_window_manager");
    QTest::newRow("bare X server, answered by key") << false;
    QTest::newRow("window manager, answered by click") << true;
}

// Catches a box that the main window's modality blocks or that the window manager stacks
// below it: its OK did nothing and the job hung. A second Start only shows a box again once
// the first job has gone on to its end.
void X11ProgramTest::HeaderMessageIsAnsweredOnTheScreen() {
    QFETCH(bool, with_window_manager);
    std::unique_ptr<WindowManager> manager;
    if (with_window_manager) {
        manager = std::make_unique<WindowManager>();
        QVERIFY(manager->Ready());
    }
    const QTemporaryDir images;
    // For hardware revision 1; the simulated drive is revision 2.
    const std::string image = WriteImage(images, 4, 1);
    Program vantor({QString::fromStdString(image), "-c", "COM1", "-m", "3"}, true);
    const QString window = WaitForWindow(kMainTitle);
    QVERIFY(!window.isEmpty());
    for (int start = 1; start <= 2; ++start) {
        ClickControl(window, kStartDu);
        const QString box = WaitForWindow(QStringLiteral("Orrim file error"));
        QVERIFY2(!box.isEmpty(), qPrintable(QStringLiteral("Start %1").arg(start)));
        if (start == 1) {
            SaveScreen(with_window_manager ? QStringLiteral("header_message_window_manager.png")
                                           : QStringLiteral("header_message_bare_x.png"));
        }
        if (with_window_manager) {
            // The click reaches the box only if it is stacked above the main window.
            ClickAt(OkButtonIn(ScreenRect(box)));
        } else {
            Xdotool({"key", "Return"});
        }
        QVERIFY2(WaitUntilGone(QStringLiteral("Orrim file error")),
                 qPrintable(QStringLiteral("Start %1").arg(start)));
    }
    ClickControl(window, kExitDu);
    QVERIFY(vantor.EndsCleanly());
    QCOMPARE(vantor.Posted(), std::string("1034\n"));
}

// Catches a download that ended the main window but left the process in the Advanced dialog.
void X11ProgramTest::QuitEndsTheProgramWithAdvancedOpen() {
    WindowManager manager;
    QVERIFY(manager.Ready());
    const QTemporaryDir images;
    const std::string image = WriteImage(images, 40, 2);
    Program vantor({QString::fromStdString(image), "-c", "COM1", "-m", "3"}, true);
    const QString window = WaitForWindow(kMainTitle);
    QVERIFY(!window.isEmpty());
    ClickControl(window, kStartDu);
    ClickControl(window, kAdvancedDu);
    QVERIFY(!WaitForWindow(QStringLiteral("Advanced options")).isEmpty());
    SaveScreen(QStringLiteral("advanced_dialog_during_job.png"));
    QVERIFY(vantor.EndsCleanly());
    QCOMPARE(vantor.Posted(), std::string("1035\n"));
}

// Catches "-m 3" writing into the program's own display connection, which hung it.
void X11ProgramTest::OwnDescriptorNamedByMIsLeftAlone() {
    Program vantor({"-m", "3"}, false);
    const QString window = WaitForWindow(kMainTitle);
    QVERIFY(!window.isEmpty());
    ClickControl(window, kExitDu);
    QVERIFY(vantor.EndsCleanly());
}

void X11ProgramTest::HelpAndVersionOpenNoWindow() {
    for (const char* option : {"--help", "--version"}) {
        QProcess program;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // With no display to open, a window would end the program with an error.
        environment.remove("DISPLAY");
        program.setProcessEnvironment(environment);
        program.start(QStringLiteral(VANTOR_PROGRAM), {option});
        QVERIFY(program.waitForFinished(kDeadlineMs));
        QCOMPARE(program.exitCode(), 0);
        const QByteArray out = program.readAllStandardOutput();
        QVERIFY2(
            out.startsWith(option == std::string("--help") ? "Usage: vantor " : "vantor 2.0.7\n"),
            out.constData());
    }
}

}  // namespace vantor::ui::test

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // The program's own look, so that a box laid out here matches the program's.
    QApplication::setStyle(QStringLiteral("Windows"));
    vantor::ui::test::X11ProgramTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "x11_program_test.moc"
