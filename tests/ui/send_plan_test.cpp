// What Start will send, checked before the port opens: the plan's faults named without a window
// (the check is plain C++), then the same faults in the window, where no byte may reach the
// drive; the totals beside the progress, and the images named before Start.
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>

#include "sim/sim_world.h"
#include "tests.h"
#include "ui/advanced_dialog.h"
#include "ui/color_list_box.h"
#include "ui/job_progress.h"
#include "ui/main_dialog.h"
#include "ui/screen_fit.h"
#include "ui/send_plan.h"
#include "ui_test_support.h"

namespace vantor::ui::test {

namespace {

using platform::Display;

std::unique_ptr<TempStore> g_store;
std::string g_image;  // a good image of 3 packets

// The files list `text` written with {G} standing for the good image, {M} for a missing file
// and {T} for a text file; "<none>" writes no list at all. Returns the list's path.
std::string WriteList(const QString& text) {
    const std::string folder = g_store->DataFolder();
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/list.txt";
    const std::string notes = folder + "/notes.txt";
    std::ofstream(notes) << "firmware notes\nversion 2\n";
    if (text == QStringLiteral("<none>")) {
        return path;
    }
    QString bytes = text;
    bytes.replace(QStringLiteral("{G}"), QString::fromStdString(g_image))
        .replace(QStringLiteral("{M}"), QString::fromStdString(folder + "/missing.orb"))
        .replace(QStringLiteral("{T}"), QString::fromStdString(notes));
    std::ofstream(path, std::ios::binary) << bytes.toStdString();
    return path;
}

void AddPlanRows() {
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("fault");  // the design's code; 0 for none
    QTest::addColumn<QStringList>("said");
    QTest::newRow("second image missing")
        << "a.orb    {G}\r\nb.orb    {M}\r\n"
        << -2
        << QStringList{"line 2 \"b.orb    ", "missing.orb cannot be opened: No such file",
                       "Nothing was sent to the drive."};
    QTest::newRow("no files list")
        << "<none>" << 4
        << QStringList{"list.txt cannot be opened: No such file", "Nothing was sent to the drive."};
}

}  // namespace

void SendPlanTest::init() {
    g_store = std::make_unique<TempStore>();
    g_image = WriteTestImage(3);
}

void SendPlanTest::cleanup() {
    ClearQuit();
    std::remove(g_image.c_str());
    g_store.reset();
}

void SendPlanTest::PlanNamesTheLineAndTheReason_data() {
    AddPlanRows();
    QTest::newRow("every image whole") << "a.orb    {G}\nb.orb    {G}" << 0 << QStringList{};
    QTest::newRow("no four blanks")
        << "a.orb {G}\n"
        << -2 << QStringList{"line 1 \"a.orb ", "this one has no four blanks", "cannot be opened"};
    QTest::newRow("not an image") << "a.orb    {G}\nnotes    {T}\n"
                                  << -6
                                  << QStringList{"line 2 \"notes    ", "notes.txt is refused: "};
}

// Catches a files list checked only after the drive was switched into its boot loader, or one
// whose fault was reported with no line, text or path.
void SendPlanTest::PlanNamesTheLineAndTheReason() {
    QFETCH(QString, list);
    QFETCH(int, fault);
    QFETCH(QStringList, said);
    const std::string path = WriteList(list);
    SendPlan plan;
    CheckSendPlan("", path, plan);
    QCOMPARE(plan.fault ? DesignCode(*plan.fault) : 0, fault);
    for (const QString& words : said) {
        QVERIFY2(QString::fromStdString(plan.cause).contains(words), plan.cause.c_str());
    }
    if (fault == 0) {
        QCOMPARE(plan.images.size(), std::size_t{2});
        QCOMPARE(plan.images[1].line, 2);
        QCOMPARE(plan.images[1].entry.Path, g_image);
    }
}

void SendPlanTest::MissingSecondImageTouchesNoDrive_data() {
    AddPlanRows();
}

// Catches the drive sought, switched into its boot loader and given the first image of a set
// whose second image was missing from the start.
void SendPlanTest::MissingSecondImageTouchesNoDrive() {
    QFETCH(QString, list);
    QFETCH(int, fault);
    QFETCH(QStringList, said);
    SimDriveBench bench;
    MainDialog dialog;
    Prepare(dialog, "");
    dialog.Host().Options.FilesListPath = WriteList(list);
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] { return JobEnded(dialog) && dialog.JobRecorded(); }));
    QCOMPARE(Text(dialog, Display::StatusLine), fault == 4
                                                    ? QStringLiteral("Failed to open files list")
                                                    : QStringLiteral("ERROR: Download failed."));
    for (const QString& words : said) {
        QVERIFY2(QString::fromStdString(dialog.ShownCause()).contains(words),
                 dialog.ShownCause().c_str());
    }
    QVERIFY(bench.world->HostBytes().empty());
    QCOMPARE(bench.world->AcceptedPackets().size(), std::size_t{0});
}

// Catches progress that said "Downloading packet 17" with no total and no file count.
void SendPlanTest::ProgressGivesFileAndPacketTotals() {
    JobProgress progress;
    progress.Begin();
    progress.OnRange(0, 31);
    progress.OnPos(5);
    QCOMPARE(progress.Text(), std::string("seeking the drive: address 5"));
    progress.SetFiles(2);
    progress.OnStatus("Processing file");
    progress.OnRange(0, 3);
    progress.OnPos(2);
    QCOMPARE(progress.Text(), std::string("file 1 of 2, packet 2 of 3"));
    progress.OnStatus("Downloading packet");
    progress.OnStatus("Processing file");
    progress.OnRange(0, 4);
    progress.OnPos(4);
    QCOMPARE(progress.Text(), std::string("file 2 of 2, packet 4 of 4"));

    SimDriveBench bench;
    MainDialog dialog;
    Prepare(dialog, "");
    dialog.Host().Options.FilesListPath = WriteList(QStringLiteral("a.orb    {G}\nb.orb    {G}\n"));
    dialog.StartButton()->click();
    QVERIFY(WaitUntil([&] { return JobEnded(dialog) && dialog.JobRecorded(); }));
    QCOMPARE(dialog.ProgressBar()->format(), QStringLiteral("file 2 of 2, packet 3 of 3"));
    QVERIFY(dialog.ProgressBar()->isTextVisible());
    QCOMPARE(dialog.ProgressBar()->accessibleDescription(), dialog.ProgressBar()->format());
    QCOMPARE(Text(dialog, Display::StatusLine), QStringLiteral("Download successful"));
}

// Catches a file name display left blank until Start: the operator could not check which image
// would go.
void SendPlanTest::ImagesAreNamedBeforeStart() {
    {
        MainDialog dialog;
        Prepare(dialog, g_image);
        QCOMPARE(Text(dialog, Display::FileNameLabel),
                 QString::fromStdString(g_image.substr(g_image.rfind('/') + 1)));
    }
    g_store->Store("FilePath", WriteList(QStringLiteral("a.orb    {G}\r\nb.orb    {M}\r\n")));
    MainDialog dialog;
    Prepare(dialog, "");
    QCOMPARE(Text(dialog, Display::FileNameLabel), QStringLiteral("a.orb, b.orb"));
    QVERIFY(dialog.Label(Display::FileNameLabel)
                ->toolTip()
                .startsWith(QString::fromStdString(g_image) + QLatin1Char('\n')));
}

// Catches values that a screen reader could only read out bare, with no caption to say what
// they are.
void SendPlanTest::ValuesCarryNamesForAScreenReader() {
    MainDialog dialog;
    Prepare(dialog, "");
    const std::vector<std::pair<Display, QString>> names = {
        {Display::StatusLine, "Status"},
        {Display::VersionLabel, "Orrim version"},
        {Display::RevisionLabel, "HW Revision"},
        {Display::FileNameLabel, "File name"},
        {Display::AddressLabel, "Address"}};
    for (const auto& [display, name] : names) {
        QCOMPARE(dialog.Label(display)->accessibleName(), name);
    }
    QCOMPARE(dialog.ProgressBar()->accessibleName(), QStringLiteral("Progress"));
    QCOMPARE(dialog.InstructionsList()->accessibleName(), QStringLiteral("Instructions"));
}

// Catches Exit, the address and Advanced's buttons off a 800x600 screen at scale factor 2
// (400 by 300 of the windows' own pixels): each window fits, and scrolls to every control.
void SendPlanTest::WindowsFitASmallScreen() {
    const QSize room(400, 300);
    MainDialog dialog;
    Prepare(dialog, "");
    AdvancedDialog advanced(&dialog);
    for (QDialog* window : {static_cast<QDialog*>(&dialog), static_cast<QDialog*>(&advanced)}) {
        const QSize full = window->size();
        FitInto(window, room);
        QVERIFY(window->width() <= room.width() && window->height() <= room.height());
        auto* area = window->findChild<QScrollArea*>(QStringLiteral("FittedArea"));
        QVERIFY(area != nullptr);
        QCOMPARE(area->widget()->size(), full);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        QCoreApplication::processEvents();
        for (QPushButton* button : window->findChildren<QPushButton*>()) {
            if (button->window() != window) {
                continue;  // a button of the Advanced dialog, which is a child of the window
            }
            area->ensureWidgetVisible(button, 0, 0);
            const QRect shown(button->mapTo(window, QPoint(0, 0)), button->size());
            QVERIFY2(window->rect().contains(shown),
                     qPrintable(QStringLiteral("%1 at %2,%3 in %4x%5")
                                    .arg(button->text())
                                    .arg(shown.x())
                                    .arg(shown.y())
                                    .arg(window->width())
                                    .arg(window->height())));
        }
    }
    QVERIFY(!advanced.findChild<QWidget*>(QStringLiteral("ResetAfterDownloadBox"))->isVisible());
    advanced.reject();
}

}  // namespace vantor::ui::test
