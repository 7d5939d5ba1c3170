// The main window: its layout, Start and the job on its worker, the ends of the window, and
// the message box that blocks only the worker. The job runs against the simulated drive on a
// virtual clock.
#include <sqlite3.h>
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <memory>

#include "platform/registry.h"
#include "tests.h"
#include "ui/color_list_box.h"
#include "ui/dialog_units.h"
#include "ui/downloader_app.h"
#include "ui/gui_window_link.h"
#include "ui/main_dialog.h"
#include "ui_test_support.h"

namespace vantor::ui::test {

namespace {

using platform::Display;

std::unique_ptr<TempStore> g_store;
}  // namespace

void MainDialogTest::init() {
    g_store = std::make_unique<TempStore>();
}

void MainDialogTest::cleanup() {
    ClearQuit();
    g_store.reset();
}

void MainDialogTest::ControlsSitAtTheirTemplatePositions_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QRect>("rect_du");
    QTest::newRow("Start") << "start" << QRect(153, 119, 43, 13);
    QTest::newRow("Advanced") << "advanced" << QRect(201, 119, 43, 13);
    QTest::newRow("Exit") << "exit" << QRect(248, 119, 43, 13);
    QTest::newRow("Com1") << "com1" << QRect(11, 18, 34, 10);
    QTest::newRow("Com4") << "com4" << QRect(11, 54, 34, 10);
    QTest::newRow("19200") << "19200" << QRect(11, 99, 32, 10);
    QTest::newRow("instructions") << "list" << QRect(58, 11, 233, 45);
    QTest::newRow("status line") << "status" << QRect(58, 85, 233, 10);
    QTest::newRow("progress bar") << "progress" << QRect(58, 97, 233, 15);
    QTest::newRow("address") << "address" << QRect(277, 72, 14, 9);
    QTest::newRow("revision") << "revision" << QRect(105, 59, 95, 9);
}

void MainDialogTest::ControlsSitAtTheirTemplatePositions() {
    QFETCH(QString, control);
    QFETCH(QRect, rect_du);
    MainDialog dialog;
    const std::map<QString, QWidget*> controls = {
        {"start", dialog.StartButton()},
        {"advanced", dialog.AdvancedButton()},
        {"exit", dialog.ExitButton()},
        {"com1", dialog.PortButton(0)},
        {"com4", dialog.PortButton(3)},
        {"19200", dialog.BaudButton(1)},
        {"list", dialog.InstructionsList()},
        {"status", dialog.Label(Display::StatusLine)},
        {"progress", dialog.ProgressBar()},
        {"address", dialog.Label(Display::AddressLabel)},
        {"revision", dialog.Label(Display::RevisionLabel)},
    };
    const DialogUnits units(DialogFont());
    QCOMPARE(dialog.size(), QSize(units.X(296), units.Y(135)));
    QCOMPARE(controls.at(control)->geometry(),
             units.Rect(rect_du.x(), rect_du.y(), rect_du.width(), rect_du.height()));
    // Plain push buttons: no default button and none reached by the tab key.
    QVERIFY(!dialog.StartButton()->isDefault() && !dialog.StartButton()->autoDefault());
    QVERIFY((dialog.ExitButton()->focusPolicy() & Qt::TabFocus) == 0);
}

void MainDialogTest::ShowsTheNineInstructionLines() {
    MainDialog dialog;
    dialog.OnInitDialog();
    const std::vector<QByteArray> expected = {
        "\x01\x02This program will update your Drive firmware",
        "\x0b\x02"
        "Before downloading the new firmware it is highly recommended",
        "\x0b\x02to back up drive parameters and to clear the EEPROM.",
        "\x01\x02To update the Drive firmware, take the following steps:",
        "\x01\x02"
        "1.) Select the correct Com port.",
        "\x01\x02"
        "2.) Select the correct baud rate.",
        "\x01\x02"
        "3.) Click the Advance button and select the ORB file.",
        "\x01\x02"
        "4.) Use the Specific Addressing option if you know the drive address",
        "\x01\x02"
        "5.) Click the Start  button.",
    };
    QCOMPARE(dialog.InstructionsList()->count(), 9);
    for (int row = 0; row < 9; ++row) {
        QCOMPARE(dialog.InstructionsList()->StoredLine(row), expected[row]);
    }
}

void MainDialogTest::StartDuringJobBlanksLabelsAndStartsNothing() {
    // A drive in command mode at address 5, so that every label is written before the end.
    SimDriveBench bench("address=5");
    const std::string image = WriteTestImage(8);
    MainDialog dialog;
    Prepare(dialog, image);
    dialog.StartButton()->click();
    QCOMPARE(dialog.WorkersStarted(), 1);
    // The worker waits for the window at each display, so the job is still mid-way here.
    QVERIFY(WaitUntil([&] { return Text(dialog, Display::VersionLabel).trimmed().size() > 0; }));
    QCOMPARE(dialog.Host().JobRunning.load(), 1);
    QCOMPARE(Text(dialog, Display::AddressLabel), QStringLiteral("5"));

    dialog.StartButton()->click();
    for (const Display display :
         {Display::AddressLabel, Display::VersionLabel, Display::RevisionLabel}) {
        QCOMPARE(Text(dialog, display), QStringLiteral(" "));
    }
    const QString image_name = QFileInfo(QString::fromStdString(image)).fileName();
    QCOMPARE(Text(dialog, Display::FileNameLabel), image_name);
    QCOMPARE(dialog.ProgressBar()->value(), 0);
    QCOMPARE(dialog.WorkersStarted(), 1);

    QVERIFY(WaitUntil([&] { return JobEnded(dialog) && !dialog.isVisible(); }));
    // One job: a second one would have sent every packet again.
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{8});
    QCOMPARE(dialog.result(), MainDialog::kQuitResult);
    QCOMPARE(Text(dialog, Display::StatusLine), QStringLiteral("Download successful"));
    QCOMPARE(dialog.ProgressBar()->maximum(), 8);
    QCOMPARE(dialog.ProgressBar()->value(), 8);
    // Mended: the single image is named as a files list line names its image.
    QCOMPARE(Text(dialog, Display::FileNameLabel), image_name);
    std::remove(image.c_str());
}

// The window's job leaves its record in the station's history, as a vantor-cli run does.
void MainDialogTest::JobIsRecordedInTheHistory() {
    SimDriveBench bench;
    const std::string image = WriteTestImage(3);
    MainDialog dialog;
    Prepare(dialog, image);
    dialog.StartButton()->click();
    const std::string history = g_store->DataFolder() + "/vantor/history.sqlite";
    std::vector<std::string> row;
    // The record is written once the job has ended: it is there once the worker is done.
    QVERIFY(WaitUntil([&] { return dialog.JobRecorded(); }));
    QVERIFY(WaitUntil([&] {
        sqlite3* handle = nullptr;
        row.clear();
        if (sqlite3_open_v2(history.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_exec(
                handle,
                "SELECT r.tool, r.port, r.result, i.path, i.packets_sent, length(i.sha256)"
                " FROM runs r JOIN run_images i ON i.run_id = r.id",
                [](void* out, int columns, char** values, char**) {
                    auto& texts = *static_cast<std::vector<std::string>*>(out);
                    for (int column = 0; column < columns; ++column) {
                        texts.emplace_back(values[column] ? values[column] : "NULL");
                    }
                    return 0;
                },
                &row, nullptr);
        }
        sqlite3_close(handle);
        return JobEnded(dialog) && !row.empty();
    }));
    const std::vector<std::string> expected{"vantor", "COM1", "success", image, "3", "64"};
    QCOMPARE(row, expected);
}

void MainDialogTest::SingleImageDownloadEndsTheProgram() {
    SimDriveBench bench;
    NotifyPipe pipe;
    const std::string image = WriteTestImage(12);
    DownloaderApp app;
    QTimer::singleShot(0, [&] { app.MainWindow->StartButton()->click(); });
    QTimer hang_guard;
    hang_guard.setSingleShot(true);
    QObject::connect(&hang_guard, &QTimer::timeout, [&] {
        if (app.MainWindow != nullptr) {
            app.MainWindow->done(QDialog::Rejected);
        }
    });
    hang_guard.start(kHangGuardMs);

    QVERIFY(!app.InitInstance(
        {image, "-c", "COM2", "-b", "9600", "-m", std::to_string(pipe.WriteEnd())}));
    QVERIFY(hang_guard.isActive());
    QCOMPARE(pipe.Posted(), std::string("1035\n"));
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{12});
    std::remove(image.c_str());
}

void MainDialogTest::FailedDownloadLeavesTheWindowOpen() {
    SimDriveBench bench;
    NotifyPipe pipe;
    MainDialog dialog;
    Prepare(dialog, g_store->DataFolder() + "/missing.orb", pipe.WriteEnd());
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] {
        return JobEnded(dialog) &&
               Text(dialog, Display::StatusLine) == QStringLiteral("ERROR: Download failed.");
    }));
    QVERIFY(dialog.isVisible());
    QCOMPARE(pipe.Posted(), std::string());
    // Start works again.
    dialog.StartButton()->click();
    QCOMPARE(dialog.WorkersStarted(), 2);
    QVERIFY(WaitUntil([&] { return JobEnded(dialog); }));
}

void MainDialogTest::EnterOnARadioButtonIsTheOkCommand() {
    NotifyPipe pipe;
    MainDialog dialog;
    Prepare(dialog, "", pipe.WriteEnd());
    QTest::mouseClick(dialog.PortButton(2), Qt::LeftButton);
    dialog.PortButton(2)->setFocus();
    QTest::keyClick(dialog.PortButton(2), Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    // The OK command takes the buttons back; mended: it tells the controlling program that
    // the program has closed, as Exit does.
    QCOMPARE(dialog.Host().Options.PortIndex.load(), 2);
    QCOMPARE(pipe.Posted(), std::string("1034\n"));
}

void MainDialogTest::EnterOnAPushButtonPressesIt() {
    NotifyPipe pipe;
    MainDialog dialog;
    Prepare(dialog, "", pipe.WriteEnd());
    dialog.ExitButton()->setFocus();
    QTest::keyClick(dialog.ExitButton(), Qt::Key_Return);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(pipe.Posted(), std::string("1034\n"));
}

void MainDialogTest::CancelCommandPostsProgramClosed_data() {
    QTest::addColumn<QString>("way");
    QTest::newRow("Exit") << "exit";
    QTest::newRow("Escape") << "escape";
    QTest::newRow("close box") << "close";
}

void MainDialogTest::CancelCommandPostsProgramClosed() {
    QFETCH(QString, way);
    NotifyPipe pipe;
    MainDialog dialog;
    Prepare(dialog, "", pipe.WriteEnd());
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
}

void MainDialogTest::HeaderCheckBoxBlocksOnlyTheWorker() {
    SimDriveBench bench;
    // An image for hardware revision 1 on a revision 2 drive.
    const std::string image = WriteTestImage(4, 1);
    MainDialog dialog;
    Prepare(dialog, image);
    dialog.StartButton()->click();
    GuiWindowLink& link = GuiWindowLink::Instance();
    QVERIFY(WaitUntil([&] { return link.OpenBoxes().size() == 1; }));
    QMessageBox* box = link.OpenBoxes()[0];
    QCOMPARE(box->windowTitle(), QStringLiteral("Orrim file error"));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(dialog.Host().JobRunning.load(), 1);
    // The window goes on working while the worker waits for the box.
    QTest::mouseClick(dialog.PortButton(3), Qt::LeftButton);
    QCOMPARE(g_store->SettingsValues().at("COM"), std::string("4"));
    QCOMPARE(dialog.Host().JobRunning.load(), 1);

    box->button(QMessageBox::Ok)->click();
    QVERIFY(WaitUntil([&] { return JobEnded(dialog); }));
    QVERIFY(dialog.isVisible());
    // The keyboard is the window's again: on a bare X server nothing else would give it back.
    QVERIFY(WaitUntil([&] { return QApplication::activeWindow() == &dialog; }));
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{0});
    std::remove(image.c_str());
}

// Catches the Advanced dialog opened as a window of its own, which the window manager may put
// right over the status line and the progress bar, with a generic icon.
void MainDialogTest::AdvancedDialogSitsOverTheWindow() {
    MainDialog dialog;
    Prepare(dialog, "");
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    bool over_window = false;
    QPoint offset;
    bool same_icon = false;
    QTimer::singleShot(0, [&] {
        QWidget* advanced = QApplication::activeModalWidget();
        over_window = advanced->parentWidget() == &dialog;
        offset = advanced->frameGeometry().center() - dialog.frameGeometry().center();
        same_icon =
            advanced->windowIcon().pixmap(32).toImage() == dialog.AppIcon().pixmap(32).toImage();
        QMetaObject::invokeMethod(advanced, "reject");
    });
    dialog.AdvancedButton()->click();
    QVERIFY(over_window);
    QVERIFY(same_icon);
    // Centred: both have the same size, so they would cover each other but for the title bar.
    QVERIFY2(offset.manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
}

// Catches Qt's one tab stop per button group: Com2 to Com4 and the checked 19200 were out of
// reach of the Tab key; and the instructions list, where a port's reason is shown, was out of
// reach of the keyboard altogether.
void MainDialogTest::TabGoesRoundTheOptionButtonsAndTheInstructions() {
    MainDialog dialog;
    Prepare(dialog, "");
    QApplication::setActiveWindow(&dialog);
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QCOMPARE(QApplication::focusWidget(), dialog.PortButton(0));
    const std::vector<QWidget*> order = {
        dialog.PortButton(1), dialog.PortButton(2),      dialog.PortButton(3), dialog.BaudButton(0),
        dialog.BaudButton(1), dialog.InstructionsList(), dialog.PortButton(0)};
    for (QWidget* expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), expected);
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(dialog.InstructionsList()));
    // Moving the focus chooses nothing.
    QVERIFY(dialog.PortButton(0)->isChecked() && dialog.BaudButton(1)->isChecked());
}

// Catches a window that said only "Error : Failed to initialize COM port" where the command line
// program names the device and why it refused.
void MainDialogTest::PortReasonIsShownUnderTheStatusText() {
    const std::string absent = g_store->DataFolder() + "/unplugged/ttyUSB7";
    const platform::Registry registry(g_store->RegistryPath());
    auto key = registry.CreateKey(platform::kPortsKey);
    for (const char* port : {"COM2", "COM3", "COM4"}) {
        QVERIFY(key && registry.SetValue(*key, port, "sim"));
    }
    QVERIFY(registry.SetValue(*key, "COM1", absent));
    MainDialog dialog;
    Prepare(dialog, WriteTestImage(2));
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] { return JobEnded(dialog) && !dialog.ShownCause().empty(); }));
    // The design's text stays as it is; the reason is the command line program's.
    QCOMPARE(Text(dialog, Display::StatusLine),
             QStringLiteral("Error : Failed to initialize COM port"));
    const std::string cause = "COM1 stands for " + absent + ": no such device: \"" + absent + "\"";
    QCOMPARE(dialog.ShownCause(), cause);
    ColorListBox& list = *dialog.InstructionsList();
    QVERIFY(list.count() > 9);
    QStringList shown;
    for (int row = 9; row < list.count(); ++row) {
        QCOMPARE(list.StoredLine(row).at(0), char(kRed + 1));
        shown << QString::fromLatin1(list.StoredLine(row).mid(2));
    }
    QCOMPARE(shown.join(QString()).remove(QLatin1Char(' ')),
             QString::fromStdString(cause).remove(QLatin1Char(' ')));
    QCOMPARE(Text(dialog, Display::StatusLine),
             QStringLiteral("Error : Failed to initialize COM port"));
    QCOMPARE(dialog.Label(Display::StatusLine)->toolTip(), QString::fromStdString(cause));
    const QDir folder(QStringLiteral(VANTOR_SCREENSHOT_DIR));
    QVERIFY(dialog.grab().save(folder.filePath(QStringLiteral("main_window_port_reason.png"))));
    // The next Start takes the reason away with the job it belonged to.
    dialog.PortButton(1)->click();
    dialog.StartButton()->click();
    QCOMPARE(list.count(), 9);
    QVERIFY(dialog.ShownCause().empty());
    QVERIFY(WaitUntil([&] { return JobEnded(dialog); }));
}

// Catches the files list's "Invalid line" box opening in the corner of the screen: the Advanced
// dialog was not placed yet when its loading showed the box.
void MainDialogTest::FilesListBoxOpensOverTheAdvancedDialog() {
    MainDialog dialog;
    Prepare(dialog, "");
    const std::string list = g_store->DataFolder() + "/bad-list.txt";
    std::ofstream(list) << "no separator here\n";
    dialog.Host().Options.FilesListPath = list;
    // With room on every side for the box, which names the line and its list's path.
    dialog.move(150, 200);
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QString box_text;
    QPoint offset;
    bool focus_back = false;
    // Answers the box, then closes the dialog once it is the active window again.
    QTimer operator_hand;
    QObject::connect(&operator_hand, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal); box != nullptr && box->isVisible()) {
            box_text = box->text();
            offset = box->frameGeometry().center() - dialog.frameGeometry().center();
            box->button(QMessageBox::Ok)->click();
        } else if (modal != nullptr && modal != &dialog && modal->isVisible() &&
                   !box_text.isEmpty()) {
            focus_back = QTest::qWaitForWindowActive(modal, 1000);
            QMetaObject::invokeMethod(modal, "reject");
        }
    });
    operator_hand.start(10);
    dialog.AdvancedButton()->click();
    QCOMPARE(box_text, QStringLiteral("Invalid line in Files List file"));
    // Centred, give or take the frame that the window system adds.
    QVERIFY2(offset.manhattanLength() <= 8,
             qPrintable(QStringLiteral("%1,%2").arg(offset.x()).arg(offset.y())));
    QVERIFY(focus_back);
    QVERIFY(WaitUntil([&] { return QApplication::activeWindow() == &dialog; }));
}

void MainDialogTest::PortButtonsShowTheirDevices() {
    const platform::Registry registry(g_store->RegistryPath());
    auto key = registry.CreateKey(platform::kPortsKey);
    QVERIFY(key && registry.SetValue(*key, "COM3", "/dev/serial/by-id/usb-FTDI_FT232R-if00"));
    MainDialog dialog;
    dialog.OnInitDialog();
    QCOMPARE(dialog.PortButton(2)->toolTip(),
             QStringLiteral("Com3: /dev/serial/by-id/usb-FTDI_FT232R-if00"));
    QCOMPARE(dialog.PortButton(0)->toolTip(), QStringLiteral("Com1: /dev/ttyS0"));
}

void MainDialogTest::AboutBoxShowsCaptionAndVersion() {
    MainDialog dialog;
    dialog.OnInitDialog();
    dialog.show();
    QString menu_entry;
    QString caption;
    QStringList texts;
    // The About entry sits in the window's context menu; choosing it opens the box modally.
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr || menu->actions().isEmpty()) {
            return;
        }
        menu_entry = menu->actions()[0]->text();
        QTimer::singleShot(0, [&] {
            QWidget* about = QApplication::activeModalWidget();
            if (about != nullptr) {
                caption = about->windowTitle();
                for (QLabel* label : about->findChildren<QLabel*>()) {
                    texts << label->text();
                }
                about->close();
            }
        });
        menu->actions()[0]->trigger();
        menu->close();
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            dialog.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&dialog, &event);
    QCOMPARE(menu_entry, QStringLiteral("&About WinVantor..."));
    QVERIFY(WaitUntil([&] { return !caption.isEmpty(); }));
    QCOMPARE(caption, QStringLiteral("About WinVantor"));
    QVERIFY(texts.contains(QStringLiteral("WinVantor Version 2.0.7")));
}

void MainDialogTest::CancelledAdvancedDialogStoresAddressingAgain() {
    MainDialog dialog;
    Prepare(dialog, "");
    dialog.Host().Options.SpecificAddress = 31;
    dialog.Host().Options.UseSpecificAddress = 1;
    bool cancelled = false;
    QTimer::singleShot(0, [&] {
        if (QWidget* advanced = QApplication::activeModalWidget()) {
            cancelled = QMetaObject::invokeMethod(advanced, "reject");
        }
    });
    dialog.AdvancedButton()->click();
    QVERIFY(cancelled);
    QCOMPARE(dialog.Host().Options.SpecificAddress.load(), 31);
    QCOMPARE(dialog.Host().Options.UseSpecificAddress.load(), 1);
    // Address 31 is kept as the character with code 32, a blank.
    QCOMPARE(g_store->SettingsValues().at("ADDR"), std::string(" "));
    QCOMPARE(g_store->SettingsValues().at("ADDREN"), std::string("1"));
}

void MainDialogTest::WritesScreenshots() {
    const QDir folder(QStringLiteral(VANTOR_SCREENSHOT_DIR));
    {
        MainDialog dialog;
        Prepare(dialog, "");
        QVERIFY(dialog.grab().save(folder.filePath(QStringLiteral("main_window_idle.png"))));
    }
    SimDriveBench bench("address=5");
    const std::string image = WriteTestImage(40);
    MainDialog dialog;
    Prepare(dialog, image);
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] {
        return dialog.ProgressBar()->maximum() == 40 && dialog.ProgressBar()->value() >= 22;
    }));
    QVERIFY(dialog.grab().save(folder.filePath(QStringLiteral("main_window_downloading.png"))));
    QVERIFY(WaitUntil([&] { return JobEnded(dialog) && !dialog.isVisible(); }));
    std::remove(image.c_str());
}

}  // namespace vantor::ui::test
