// The window's jobs in its real modal run: the job's boxes answered there, the quit that ends
// every dialog, the question that keeps a download from a stray key, the confirmed stop that
// leaves an interrupted record, and the warnings of a job shown beside its last status text.
#include <sqlite3.h>
#include <QAbstractButton>
#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <memory>

#include "tests.h"
#include "ui/downloader_app.h"
#include "ui/gui_window_link.h"
#include "ui/main_dialog.h"
#include "ui_test_support.h"

namespace vantor::ui::test {

namespace {

using platform::Display;

std::unique_ptr<TempStore> g_store;

// Answers the next modal box with this object name once it is open, as often as it opens.
class BoxAnswerer {
  public:
    BoxAnswerer(const QString& name, std::function<void(QMessageBox*)> answer) {
        QObject::connect(&poll_, &QTimer::timeout, [this, name, answer] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box != nullptr && box->objectName() == name && box != last_) {
                last_ = box;
                texts_ << box->text();
                // Answered from a fresh turn of the box's own loop.
                QTimer::singleShot(0, box, [box, answer] { answer(box); });
            }
        });
        poll_.start(2);
    }
    // The text of every box answered so far.
    const QStringList& Texts() const { return texts_; }

  private:
    QTimer poll_;
    QMessageBox* last_ = nullptr;
    QStringList texts_;
};

QAbstractButton* ButtonNamed(QMessageBox* box, const QString& text) {
    for (QAbstractButton* button : box->buttons()) {
        if (button->text() == text) {
            return button;
        }
    }
    return nullptr;
}

// A files list of one image; the window stays open after a files-list job.
std::string WriteFilesList(const std::string& image) {
    const std::string path = g_store->DataFolder() + "/one-image-list.txt";
    std::ofstream(path) << "image.orb    " << image << "\n";
    return path;
}

// The result of every run in the station's history, in the order of the runs.
std::vector<std::string> HistoryResults() {
    const std::string history = g_store->DataFolder() + "/vantor/history.sqlite";
    std::vector<std::string> results;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(history.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_exec(
            handle, "SELECT result FROM runs ORDER BY id",
            [](void* out, int, char** values, char**) {
                static_cast<std::vector<std::string>*>(out)->emplace_back(
                    values[0] != nullptr ? values[0] : "NULL");
                return 0;
            },
            &results, nullptr);
    }
    sqlite3_close(handle);
    return results;
}

// Enough packets that the download is still going when the window's keys arrive: every packet
// waits for the window twice. Below the 1024 packets that the simulated drive keeps.
constexpr int kLongImagePackets = 1000;

// The packet that the status line names, 0 before the first.
int PacketShown(MainDialog& dialog) {
    const QString status = Text(dialog, Display::StatusLine);
    const QString prefix = QStringLiteral("Downloading packet ");
    return status.startsWith(prefix) ? status.mid(prefix.size()).toInt() : 0;
}

}  // namespace

void WindowJobTest::init() {
    g_store = std::make_unique<TempStore>();
}

void WindowJobTest::cleanup() {
    ClearQuit();
    g_store.reset();
}

void WindowJobTest::HeaderMessageIsAnsweredInTheModalRun_data() {
    QTest::addColumn<bool>("by_key");
    QTest::addColumn<bool>("advanced_open");
    QTest::newRow("Enter key") << true << false;
    QTest::newRow("click on OK") << false << false;
    QTest::newRow("click on OK, Advanced open") << false << true;
}

// Catches a box that the main window's own modal run blocks: its OK did nothing and the job
// hung at "Processing file". Input goes through the window system's path, as the operator's.
void WindowJobTest::HeaderMessageIsAnsweredInTheModalRun() {
    QFETCH(bool, by_key);
    QFETCH(bool, advanced_open);
    SimDriveBench bench;
    // An image for hardware revision 1 on a revision 2 drive.
    const std::string image = WriteTestImage(4, 1);
    GuiWindowLink& link = GuiWindowLink::Instance();
    DownloaderApp app;
    QString caption;
    QString text;
    bool over_modal_window = false;
    bool box_active = false;
    // Answers the box while `modal` runs its modal loop.
    const auto answer = [&](QWidget* modal) {
        if (!WaitUntil([&] { return link.OpenBoxes().size() == 1; })) {
            return;
        }
        QMessageBox* box = link.OpenBoxes()[0];
        caption = box->windowTitle();
        text = box->text();
        over_modal_window = box->parentWidget() == modal;
        // The operator's key goes to the box once the window system has made it active.
        box_active = QTest::qWaitForWindowActive(box);
        if (by_key) {
            QTest::keyClick(box->windowHandle(), Qt::Key_Return);
        } else {
            QAbstractButton* ok = box->button(QMessageBox::Ok);
            QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {},
                              ok->mapTo(box, ok->rect().center()));
        }
        WaitUntil([&] { return link.OpenBoxes().empty(); });
    };
    QString status;
    QTimer::singleShot(0, [&] {
        MainDialog& window = *app.MainWindow;
        QTest::mouseClick(window.StartButton(), Qt::LeftButton);
        if (advanced_open) {
            QTimer::singleShot(0, [&] {
                QWidget* advanced = QApplication::activeModalWidget();
                answer(advanced);
                QMetaObject::invokeMethod(advanced, "reject");
            });
            window.AdvancedButton()->click();
        } else {
            answer(&window);
        }
        // The job clears its busy flag just before its closing text.
        WaitUntil([&] {
            return JobEnded(window) &&
                   Text(window, Display::StatusLine) == QStringLiteral("ERROR: Download failed.");
        });
        status = Text(window, Display::StatusLine);
        window.reject();
    });
    app.InitInstance({image, "-c", "COM1"});
    QCOMPARE(caption, QStringLiteral("Orrim file error"));
    // The file name display names the file for a single image too.
    QVERIFY2(text.contains(QFileInfo(QString::fromStdString(image)).fileName()), qPrintable(text));
    QCOMPARE(status, QStringLiteral("ERROR: Download failed."));
    QVERIFY(over_modal_window);
    QVERIFY(box_active);
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{0});
    std::remove(image.c_str());
}

void WindowJobTest::QuitEndsEveryDialogOpenOverTheWindow_data() {
    QTest::addColumn<QString>("open");
    QTest::newRow("Advanced") << "advanced";
    QTest::newRow("file dialog of Add") << "file";
    QTest::newRow("About") << "about";
}

// Catches a successful single-image download whose quit closed the main window but left the
// process in a stray dialog, so that a controlling program waited for the operator.
void WindowJobTest::QuitEndsEveryDialogOpenOverTheWindow() {
    QFETCH(QString, open);
    SimDriveBench bench;
    NotifyPipe pipe;
    const std::string image = WriteTestImage(6);
    DownloaderApp app;
    QStringList seen;
    const auto note_modal = [&seen] {
        QWidget* modal = QApplication::activeModalWidget();
        seen << (modal != nullptr ? modal->windowTitle() : QStringLiteral("none"));
    };
    QTimer hang_guard;
    hang_guard.setSingleShot(true);
    QObject::connect(&hang_guard, &QTimer::timeout, [&] {
        while (QWidget* modal = QApplication::activeModalWidget()) {
            modal->hide();
        }
    });
    hang_guard.start(kHangGuardMs);
    QTimer::singleShot(0, [&] {
        MainDialog& window = *app.MainWindow;
        window.StartButton()->click();
        QTimer::singleShot(0, [&] {
            note_modal();
            QWidget* modal = QApplication::activeModalWidget();
            if (open == QStringLiteral("file") && modal != nullptr) {
                QTimer::singleShot(0, note_modal);
                modal->findChild<QPushButton*>(QStringLiteral("AddButton"))->click();
            }
        });
        if (open == QStringLiteral("about")) {
            window.ShowAboutBox();
        } else {
            window.AdvancedButton()->click();
        }
    });
    QVERIFY(!app.InitInstance({image, "-c", "COM1", "-m", std::to_string(pipe.WriteEnd())}));
    QVERIFY(hang_guard.isActive());
    const QStringList expected =
        open == QStringLiteral("about")
            ? QStringList{"About WinVantor"}
            : (open == QStringLiteral("file")
                   ? QStringList{"Advanced options", "Browse For Orrim File..."}
                   : QStringList{"Advanced options"});
    QCOMPARE(seen, expected);
    QCOMPARE(pipe.Posted(), std::string("1035\n"));
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        QVERIFY2(!widget->isVisible(), qPrintable(widget->windowTitle()));
    }
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{6});
    std::remove(image.c_str());
}
// Catches a download ended by a stray key: Enter on an option button was the OK command, and
// Escape and the close box the cancel command, each ending the program with the drive left
// half-written in its boot loader. The question's default keeps the download going.
void WindowJobTest::StrayKeysLeaveTheDownloadRunning() {
    SimDriveBench bench;
    NotifyPipe pipe;
    const std::string image = WriteTestImage(kLongImagePackets);
    MainDialog dialog;
    Prepare(dialog, "", pipe.WriteEnd());
    dialog.Host().Options.FilesListPath = WriteFilesList(image);
    int asked = 0;
    bool running_when_asked = true;
    BoxAnswerer keep(QStringLiteral("StopQuestion"), [&](QMessageBox* box) {
        ++asked;
        running_when_asked = running_when_asked && !JobEnded(dialog);
        // Enter takes the default button, Escape the escape button: both keep downloading.
        QTest::keyClick(box, asked == 1 ? Qt::Key_Return : Qt::Key_Escape);
    });
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] { return PacketShown(dialog) >= 5; }));
    dialog.PortButton(2)->setFocus();
    QTest::keyClick(dialog.PortButton(2), Qt::Key_Return);
    QVERIFY(dialog.isVisible());
    QCOMPARE(asked, 0);
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    dialog.close();  // the close box, Alt+F4 and Close in the window menu
    QVERIFY(dialog.isVisible());
    QCOMPARE(asked, 2);
    QVERIFY(running_when_asked);
    QCOMPARE(keep.Texts().first(),
             QStringLiteral("A download is running. Stop the download and close the window?"));

    QVERIFY(WaitUntil([&] { return JobEnded(dialog); }));
    QCOMPARE(Text(dialog, Display::StatusLine), QStringLiteral("Download successful"));
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{kLongImagePackets});
    QCOMPARE(pipe.Posted(), std::string());
    // Idle again, the ends behave as the design says: Escape closes without a question.
    QVERIFY(WaitUntil([&] { return dialog.JobRecorded(); }));
    QCOMPARE(HistoryResults(), std::vector<std::string>{"success"});
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(asked, 2);
    QCOMPARE(pipe.Posted(), std::string("1034\n"));
    std::remove(image.c_str());
}

void WindowJobTest::ConfirmedStopIsRecordedAsInterrupted_data() {
    QTest::addColumn<QString>("way");
    QTest::newRow("Exit") << "exit";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("close box") << "close";
}

// Catches a confirmed stop that abandoned the job unrecorded, or ended the window before the
// operator was told where the drive was left.
void WindowJobTest::ConfirmedStopIsRecordedAsInterrupted() {
    QFETCH(QString, way);
    SimDriveBench bench;
    NotifyPipe pipe;
    const std::string image = WriteTestImage(kLongImagePackets);
    MainDialog dialog;
    Prepare(dialog, "", pipe.WriteEnd());
    dialog.Host().Options.FilesListPath = WriteFilesList(image);
    BoxAnswerer stop(QStringLiteral("StopQuestion"), [](QMessageBox* box) {
        ButtonNamed(box, QStringLiteral("&Stop and close"))->click();
    });
    BoxAnswerer told(QStringLiteral("StoppedBox"),
                     [](QMessageBox* box) { box->button(QMessageBox::Ok)->click(); });
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] { return PacketShown(dialog) >= 5; }));
    if (way == QStringLiteral("exit")) {
        QTest::mouseClick(dialog.ExitButton(), Qt::LeftButton);
    } else if (way == QStringLiteral("escape")) {
        QTest::keyClick(&dialog, Qt::Key_Escape);
    } else {
        dialog.close();
    }
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(pipe.Posted(), std::string("1034\n"));
    QVERIFY(JobEnded(dialog));
    QCOMPARE(told.Texts().size(), 1);
    const QString said = told.Texts().first();
    QVERIFY2(said.startsWith(QStringLiteral("The download was stopped after packet ")) &&
                 said.contains(QFileInfo(QString::fromStdString(image)).fileName()) &&
                 said.contains(QStringLiteral("Skip drives seeking")),
             qPrintable(said));
    QCOMPARE(QString::fromStdString(dialog.ShownCause()), said);
    const std::size_t accepted = bench.world->AcceptedPackets().size();
    QVERIFY2(accepted >= 5 && accepted < std::size_t{kLongImagePackets},
             qPrintable(QString::number(accepted)));
    // Waited for: the record is there as soon as the window has ended.
    QCOMPARE(HistoryResults(), std::vector<std::string>{"interrupted"});
    std::remove(image.c_str());
}

// Catches a drive that never answered a packet ending as a plain success.
void WindowJobTest::MissingResponsesAreShownBesideTheSuccess() {
    SimDriveBench bench("no-response");
    const std::string image = WriteTestImage(3);
    MainDialog dialog;
    Prepare(dialog, "");
    dialog.Host().Options.FilesListPath = WriteFilesList(image);
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] { return JobEnded(dialog) && !dialog.ShownCause().empty(); }));
    QCOMPARE(Text(dialog, Display::StatusLine), QStringLiteral("Download successful"));
    QCOMPARE(dialog.ShownCause(),
             std::string("3 packets got no response from the drive: check that the drive took "
                         "the firmware before it is used."));
    std::remove(image.c_str());
}

}  // namespace vantor::ui::test
