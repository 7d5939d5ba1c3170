// The real program on a real X server: its windows as the window system stacks and blocks
// them, with and without a window manager, answered with the keys and clicks an operator gives
// (sent through the X server's test extension). The drive is the simulated one, in real time.
#include <sqlite3.h>
#include <xcb/xcb.h>

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
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

#include "image/image_writer.h"
#include "platform/registry.h"
#include "ui/dialog_units.h"
#include "ui/settings_store.h"

namespace vantor::ui::test {

namespace {

// Every wait for the program or the window system; the steps here take a second or two.
constexpr int kDeadlineMs = 30000;
const QString kMainTitle = QStringLiteral("Vantor KDX v2.0.7");
// The caption of the window's own boxes: the program file's name.
const QString kProgramName = QStringLiteral("vantor");
// Enough packets that a download is still going when the operator's keys arrive.
constexpr int kLongImagePackets = 120;

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
    // A pointer already where it is sent never moves, and a synchronised move would wait for it
    // until the tool's deadline: it starts from the screen's other corner.
    const QSize screen = QGuiApplication::primaryScreen()->size();
    Xdotool({"mousemove", QString::number(point.x() < screen.width() / 2 ? screen.width() - 1 : 0),
             QString::number(point.y() < screen.height() / 2 ? screen.height() - 1 : 0)});
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
const QRect kProgressBarDu(58, 97, 233, 15);

// True once the main window's progress bar is filled past `fraction` of its width, as the
// screen shows it: a little of its width there differs from its empty end.
bool ProgressPast(const QString& window, double fraction) {
    const DialogUnits units(DialogFont());
    const QRect bar = units
                          .Rect(kProgressBarDu.x(), kProgressBarDu.y(), kProgressBarDu.width(),
                                kProgressBarDu.height())
                          .translated(ScreenRect(window).topLeft());
    const QImage shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, bar.x(), bar.y(), bar.width(), bar.height())
                            .toImage();
    const int y = shot.height() / 2;
    const QColor empty = shot.pixelColor(shot.width() - 4, y);
    const int at = static_cast<int>(shot.width() * fraction);
    // The bar may be drawn in blocks with gaps between them.
    for (int x = std::max(2, at - 10); x <= at; ++x) {
        if (shot.pixelColor(x, y) != empty) {
            return true;
        }
    }
    return false;
}

// Asks the window to close as a window manager does for its close box and Alt+F4: the
// WM_DELETE_WINDOW message of the window manager's protocol.
void RequestClose(const QString& window) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11->connection();
    const auto atom = [connection](const char* name) {
        xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
            connection,
            xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
            nullptr);
        const xcb_atom_t value = reply != nullptr ? reply->atom : XCB_ATOM_NONE;
        std::free(reply);
        return value;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = window.toUInt();
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(connection, 0, event.window, XCB_EVENT_MASK_NO_EVENT,
                   reinterpret_cast<const char*>(&event));
    xcb_flush(connection);
}

// `columns` of every run in the history file, joined by "|", in the order of the runs.
std::vector<std::string> HistoryRows(const QString& path, const char* columns = "result") {
    std::vector<std::string> results;
    const std::string query = std::string("SELECT ") + columns + " FROM runs ORDER BY id";
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(path.toLocal8Bit().constData(), &handle, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_exec(
            handle, query.c_str(),
            [](void* out, int count, char** values, char**) {
                std::string row;
                for (int i = 0; i < count; ++i) {
                    row += (i == 0 ? "" : "|") +
                           std::string(values[i] != nullptr ? values[i] : "NULL");
                }
                static_cast<std::vector<std::string>*>(out)->push_back(row);
                return 0;
            },
            &results, nullptr);
    }
    sqlite3_close(handle);
    return results;
}

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
    // `history`, when given, is the history file that the program's jobs go to.
    // `files_list`, when given, is the files list that the store names.
    Program(const QStringList& args, bool notify_file, const QString& history = QString(),
            const QString& files_list = QString()) {
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
            if (!files_list.isEmpty()) {
                registry.SetValue(*settings, "FilePath", files_list.toStdString());
            }
        }
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VANTOR_REGISTRY", folder_.filePath("registry"));
        environment.insert("XDG_DATA_HOME", folder_.filePath("data"));
        environment.insert("VANTOR_NOTIFY", NotifyPath());
        environment.insert("VANTOR_HISTORY",
                           history.isEmpty() ? folder_.filePath("history.sqlite") : history);
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
    QString HistoryPath() const { return folder_.filePath("history.sqlite"); }
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
    void StrayKeysLeaveTheDownloadRunning_data();
    void StrayKeysLeaveTheDownloadRunning();
    void CloseBoxAsksAndAConfirmedStopIsRecorded();
    void EveryDownloadIsRecorded();
    void ListWithAMissingSecondImageSendsNothing();
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

void X11ProgramTest::StrayKeysLeaveTheDownloadRunning_data() {
    HeaderMessageIsAnsweredOnTheScreen_data();
}

// Catches a download ended by a stray key: Enter on the focused Com1 button was the OK command
// and Escape the cancel command, each leaving the drive half-written. The question that Escape
// brings keeps the download going by default.
void X11ProgramTest::StrayKeysLeaveTheDownloadRunning() {
    QFETCH(bool, with_window_manager);
    std::unique_ptr<WindowManager> manager;
    if (with_window_manager) {
        manager = std::make_unique<WindowManager>();
        QVERIFY(manager->Ready());
    }
    const QTemporaryDir images;
    const std::string image = WriteImage(images, kLongImagePackets, 2);
    Program vantor({QString::fromStdString(image), "-c", "COM1", "-m", "3"}, true);
    const QString window = WaitForWindow(kMainTitle);
    QVERIFY(!window.isEmpty());
    ClickControl(window, kStartDu);
    QVERIFY(QTest::qWaitFor([&] { return ProgressPast(window, 0.1); }, kDeadlineMs));
    // The bar's totals beside the status text, and the image's name.
    SaveScreen(with_window_manager ? QStringLiteral("download_totals_window_manager.png")
                                   : QStringLiteral("download_totals_bare_x.png"));
    // The focus is on Com1, where the window put it.
    Xdotool({"key", "Return"});
    Xdotool({"key", "Escape"});
    QVERIFY(!WaitForWindow(kProgramName).isEmpty());
    Xdotool({"key", "Return"});
    QVERIFY(WaitUntilGone(kProgramName));
    QVERIFY(vantor.EndsCleanly());
    QCOMPARE(vantor.Posted(), std::string("1035\n"));
    QCOMPARE(HistoryRows(vantor.HistoryPath()), std::vector<std::string>{"success"});
}

// Catches a close box that ended the download unasked, and a confirmed stop that left no record.
void X11ProgramTest::CloseBoxAsksAndAConfirmedStopIsRecorded() {
    WindowManager manager;
    QVERIFY(manager.Ready());
    const QTemporaryDir images;
    const std::string image = WriteImage(images, kLongImagePackets, 2);
    Program vantor({QString::fromStdString(image), "-c", "COM1", "-m", "3"}, true);
    const QString window = WaitForWindow(kMainTitle);
    QVERIFY(!window.isEmpty());
    ClickControl(window, kStartDu);
    QVERIFY(QTest::qWaitFor([&] { return ProgressPast(window, 0.1); }, kDeadlineMs));
    RequestClose(window);
    const QString question = WaitForWindow(kProgramName);
    QVERIFY(!question.isEmpty());
    SaveScreen(QStringLiteral("stop_question.png"));
    Xdotool({"key", "alt+s"});
    // Then the box that says where the drive was left.
    QString told;
    QVERIFY(QTest::qWaitFor(
        [&] {
            told = VisibleWindow(kProgramName);
            return !told.isEmpty() && told != question;
        },
        kDeadlineMs));
    SaveScreen(QStringLiteral("stopped_download.png"));
    Xdotool({"key", "Return"});
    QVERIFY(vantor.EndsCleanly());
    QCOMPARE(vantor.Posted(), std::string("1034\n"));
    QCOMPARE(HistoryRows(vantor.HistoryPath()), std::vector<std::string>{"interrupted"});
}

// Catches window jobs missing from the history: the program ended after a single image's
// success while its worker was still writing the record.
void X11ProgramTest::EveryDownloadIsRecorded() {
    const QTemporaryDir images;
    const std::string image = WriteImage(images, 4, 2);
    const QString history = images.filePath(QStringLiteral("history.sqlite"));
    for (int run = 1; run <= 3; ++run) {
        Program vantor({QString::fromStdString(image), "-c", "COM1"}, false, history);
        const QString window = WaitForWindow(kMainTitle);
        QVERIFY(!window.isEmpty());
        ClickControl(window, kStartDu);
        QVERIFY2(vantor.EndsCleanly(), qPrintable(QString::number(run)));
    }
    QCOMPARE(HistoryRows(history), (std::vector<std::string>{"success", "success", "success"}));
}

// Catches a drive sought, switched into its boot loader and given the first image of a set
// whose second image was missing from the start.
void X11ProgramTest::ListWithAMissingSecondImageSendsNothing() {
    const QTemporaryDir images;
    const std::string image = WriteImage(images, 4, 2);
    const QString list = images.filePath(QStringLiteral("flist.txt"));
    std::ofstream(list.toStdString())
        << "fw.orb    " << image << "\r\n"
        << "gone.orb    " << images.filePath(QStringLiteral("gone.orb")).toStdString() << "\r\n";
    Program vantor({}, false, QString(), list);
    const QString window = WaitForWindow(kMainTitle);
    QVERIFY(!window.isEmpty());
    ClickControl(window, kStartDu);
    QVERIFY(
        QTest::qWaitFor([&] { return !HistoryRows(vantor.HistoryPath()).empty(); }, kDeadlineMs));
    SaveScreen(QStringLiteral("missing_second_image.png"));
    // Failed, with no packet sent, no drive address found and no break sent.
    QCOMPARE(HistoryRows(vantor.HistoryPath(),
                         "result, exit_status != 0, packets_sent, address, resynchronisations"),
             std::vector<std::string>{"failed|1|0|NULL|0"});
    ClickControl(window, kExitDu);
    QVERIFY(vantor.EndsCleanly());
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
