#include "advanced_dialog_test.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include "file_size_limit.h"
#include "prompts_recorder.h"
#include "ui/advanced_dialog.h"

namespace vantor::ui::test {
namespace {

const QString kNoFilesText = QStringLiteral(
    "Vantor will not function without specifying any file.  Are you sure you want to "
    "continue?");
const QString kWriteLead =
    QStringLiteral("File could not be opened for writing due to the following reason:  ");
const QString kWriteTail = QStringLiteral(
    "\n\nAny changes you might have made will not be saved.  Would you still like to exit the "
    "application and use this file?");

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// One dialog with its recorder, as the main window sets it up.
struct Bench {
    PromptsRecorder prompts;  // outlives the dialog that holds it
    AdvancedDialog dialog{nullptr, &prompts};

    explicit Bench(const QString& list_path) { dialog.FilesListPath = list_path; }
    void Open() { dialog.show(); }
    QTreeWidget* Table() { return dialog.findChild<QTreeWidget*>(QStringLiteral("FilesTable")); }
    QComboBox* Combo() { return dialog.findChild<QComboBox*>(QStringLiteral("AddressCombo")); }
    QPushButton* Button(const char* name) {
        return dialog.findChild<QPushButton*>(QString::fromLatin1(name));
    }
    QCheckBox* Box(const char* name) {
        return dialog.findChild<QCheckBox*>(QString::fromLatin1(name));
    }
    void Click(const char* name) { Button(name)->click(); }
    QStringList Rows() {
        QStringList rows;
        QTreeWidget* table = Table();
        for (int row = 0; row < table->topLevelItemCount(); ++row) {
            rows.append(table->topLevelItem(row)->text(0) + "|" +
                        table->topLevelItem(row)->text(1));
        }
        return rows;
    }
    void Select(std::initializer_list<int> rows) {
        for (int row : rows) {
            Table()->topLevelItem(row)->setSelected(true);
        }
    }
};

// The operator adds these images one after another.
void AddImages(Bench& bench, const QStringList& paths) {
    for (const QString& path : paths) {
        bench.prompts.files.append(path);
        bench.Click("AddButton");
    }
}

QString ApplicationName() {
    return QStringLiteral("ui_advanced_test");
}

}  // namespace

void AdvancedDialogTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void AdvancedDialogTest::OpeningCreatesAMissingListWithAnEmptyTable() {
    const QString path = dir_->filePath("flist.txt");
    Bench bench(path);

    bench.Open();

    QCOMPARE(bench.Table()->topLevelItemCount(), 0);
    QCOMPARE(ReadBytes(path), QByteArray());
    QVERIFY(bench.prompts.prompts.isEmpty());
}

void AdvancedDialogTest::ControlsFollowTheTemplate() {
    Bench bench(dir_->filePath("flist.txt"));
    bench.Open();

    QCOMPARE(bench.dialog.windowTitle(), QStringLiteral("Advanced options"));
    QTreeWidget* table = bench.Table();
    QCOMPARE(table->headerItem()->text(0), QStringLiteral("File Name"));
    QCOMPARE(table->headerItem()->text(1), QStringLiteral("File Path"));
    const int half_px = table->contentsRect().width() / 2;
    QCOMPARE(table->columnWidth(0), half_px);
    QCOMPARE(table->columnWidth(1), half_px);
    QVERIFY(!table->header()->sectionsClickable());
    QVERIFY(!table->isSortingEnabled());
    QCOMPARE(table->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QStringList items;
    for (int i = 0; i < bench.Combo()->count(); ++i) {
        items.append(bench.Combo()->itemText(i));
    }
    QCOMPARE(items.join(QString()), QStringLiteral("0123456789ABCDEFGHIJKLMNOPQRSTUV"));
    QVERIFY(bench.Box("SkipSeekingBox")->isVisible());
    QVERIFY(!bench.Box("ResetAfterDownloadBox")->isVisible());
    QVERIFY(bench.Button("OkButton")->isDefault());
    // The template's right edge (241 + 50 of 296 units) leaves the buttons inside the dialog.
    QVERIFY(bench.Button("OkButton")->geometry().right() < bench.dialog.width());
    QVERIFY(bench.Box("UseSpecificAddressBox")->geometry().bottom() < bench.dialog.height());
}

// Catches a bad line that the box did not name, and that OK then dropped from the list without
// a word: each box names its line and rule, and OK asks before it writes the list without them.
void AdvancedDialogTest::EachBadLineGetsItsOwnMessage() {
    const QString path = dir_->filePath("flist.txt");
    const QByteArray bytes = "a.orb    /a.orb\r\nno separator\r\n\r\nb.orb    /b.orb\r\n";
    WriteBytes(path, bytes);
    Bench bench(path);
    bench.Open();
    QCOMPARE(bench.prompts.prompts.size(), 2);
    for (const PromptsRecorder::Prompt& prompt : bench.prompts.prompts) {
        QCOMPARE(prompt.kind, QStringLiteral("inform"));
        QCOMPARE(prompt.text, QStringLiteral("Invalid line in Files List file"));
        QCOMPARE(prompt.caption, QStringLiteral("Files list file"));
        QVERIFY(prompt.icon);
    }
    QCOMPARE(bench.prompts.prompts[0].detail,
             QStringLiteral("Line 2 of %1:\n\"no separator\"\n\nThe line is not loaded: a line "
                            "holds the file name, four blanks, then the file's path.")
                 .arg(path));
    QVERIFY(bench.prompts.prompts[1].detail.startsWith(QStringLiteral("Line 3 of ")));
    QCOMPARE(bench.Rows(), (QStringList{"a.orb|/a.orb", "b.orb|/b.orb"}));
    // No keeps the list and the dialog; Yes saves the table without the bad lines.
    bench.prompts.answers = {false, true};
    bench.Click("OkButton");
    QVERIFY(bench.dialog.isVisible());
    QCOMPARE(ReadBytes(path), bytes);
    QVERIFY(bench.prompts.prompts[2].default_no);
    QVERIFY2(bench.prompts.prompts[2].text.contains(QStringLiteral("line 2: \"no separator\"")),
             qPrintable(bench.prompts.prompts[2].text));
    bench.Click("OkButton");
    QVERIFY(!bench.dialog.isVisible());
    QCOMPARE(ReadBytes(path), QByteArray("a.orb    /a.orb\r\nb.orb    /b.orb\r\n"));
}

void AdvancedDialogTest::RowsAreSortedByFileName_data() {
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("sorted");
    QTest::newRow("two") << QStringList{"b.orb", "a.orb"} << QStringList{"a.orb", "b.orb"};
    QTest::newRow("case does not lead the order")
        << QStringList{"c.orb", "B.orb", "a.orb"} << QStringList{"a.orb", "B.orb", "c.orb"};
    QTest::newRow("names equal but for case, capital first")
        << QStringList{"x.orb", "X.orb"} << QStringList{"X.orb", "x.orb"};
    QTest::newRow("a prefix first")
        << QStringList{"ab.orb", "a.orb"} << QStringList{"a.orb", "ab.orb"};
}

// The saved list is the download order, so the table's order must hold whether rows come
// from the file or from Add.
void AdvancedDialogTest::RowsAreSortedByFileName() {
    QFETCH(QStringList, names);
    QFETCH(QStringList, sorted);
    const QString path = dir_->filePath("flist.txt");
    QByteArray bytes;
    for (const QString& name : names) {
        bytes += name.toLatin1() + "    /fw/" + name.toLatin1() + "\r\n";
    }
    WriteBytes(path, bytes);
    Bench from_file(path);
    from_file.Open();
    Bench from_add(dir_->filePath("other.txt"));
    from_add.Open();
    for (const QString& name : names) {
        AddImages(from_add, {"/fw/" + name});
    }

    QStringList expected_rows;
    QByteArray expected_bytes;
    for (const QString& name : sorted) {
        expected_rows.append(name + "|/fw/" + name);
        expected_bytes += name.toLatin1() + "    /fw/" + name.toLatin1() + "\r\n";
    }
    QCOMPARE(from_file.Rows(), expected_rows);
    QCOMPARE(from_add.Rows(), expected_rows);
    from_file.Click("OkButton");
    QCOMPARE(from_file.dialog.result(), int(QDialog::Accepted));
    QCOMPARE(ReadBytes(path), expected_bytes);
}

void AdvancedDialogTest::AddAsksForAnImageAndAddsItsNameAndPath() {
    Bench bench(dir_->filePath("flist.txt"));
    bench.Open();

    AddImages(bench, {"/fw/new/motor.orb"});

    QCOMPARE(bench.prompts.prompts.size(), 1);
    QCOMPARE(bench.prompts.prompts[0].kind, QStringLiteral("file"));
    QCOMPARE(bench.prompts.prompts[0].caption, QStringLiteral("Browse For Orrim File..."));
    QCOMPARE(bench.prompts.prompts[0].text,
             QStringLiteral("Orrim Files (*.orb) (*.orb);;All Files (*)"));
    QCOMPARE(bench.Rows(), QStringList{"motor.orb|/fw/new/motor.orb"});
}

void AdvancedDialogTest::AddCancelledAddsNothing() {
    Bench bench(dir_->filePath("flist.txt"));
    bench.Open();

    bench.Click("AddButton");

    QCOMPARE(bench.prompts.Texts("file").size(), 1);
    QCOMPARE(bench.Table()->topLevelItemCount(), 0);
}

void AdvancedDialogTest::AddComparesNamesByteForByte_data() {
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("same name from another folder refused")
        << "/c/a/x.orb"
        << "/d/b/x.orb" << QStringList{"x.orb|/c/a/x.orb"};
    QTest::newRow("names differing in case both kept")
        << "/c/x.orb"
        << "/c/X.orb" << QStringList{"X.orb|/c/X.orb", "x.orb|/c/x.orb"};
    QTest::newRow("a longer name both kept")
        << "/c/x.orb"
        << "/c/x.orb2" << QStringList{"x.orb|/c/x.orb", "x.orb2|/c/x.orb2"};
}

void AdvancedDialogTest::AddComparesNamesByteForByte() {
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(QStringList, rows);
    Bench bench(dir_->filePath("flist.txt"));
    bench.Open();

    AddImages(bench, {first, second});

    QCOMPARE(bench.Rows(), rows);
    const bool refused = rows.size() == 1;
    QCOMPARE(bench.prompts.Texts("inform"),
             refused ? QStringList{"This file is already in the table."} : QStringList{});
    if (refused) {
        QCOMPARE(bench.prompts.prompts.last().caption, ApplicationName());
        QVERIFY(!bench.prompts.prompts.last().icon);
    }
}

void AdvancedDialogTest::AddRefusesRowsTheListCannotKeep_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("refusal");
    // name (5) + four blanks + path: 128 characters fit, 129 do not.
    const QString path_119 = "/" + QString(112, 'f') + "/a.orb";
    const QString path_120 = "/" + QString(113, 'f') + "/a.orb";
    QTest::newRow("128 characters") << path_119 << QString();
    QTest::newRow("129 characters")
        << path_120
        << "This file's name and path are too long for the files list: a line holds at most "
           "128 characters.";
    QTest::newRow("four blanks in the name")
        << "/fw/a    b.orb"
        << "This file's name holds four blanks in a row, which the files list cannot tell "
           "apart from the end of the name.";
    // Mended: the saved line would give the path back with a leading blank.
    const QString trailing_blank =
        "This file's name ends in a blank, which the files list cannot tell apart from the "
        "blanks that end the name.";
    QTest::newRow("one blank ending the name") << "/fw/a.orb " << trailing_blank;
    QTest::newRow("three blanks ending the name") << "/fw/a.orb   " << trailing_blank;
    QTest::newRow("blanks inside the name") << "/fw/a b   c.orb" << QString();
    QTest::newRow("line break in the path")
        << "/fw\n2/a.orb"
        << "This file's name or path holds a line break, which the files list cannot keep.";
}

// Catches rows that would be saved and then refused, so lost, on the next opening.
void AdvancedDialogTest::AddRefusesRowsTheListCannotKeep() {
    QFETCH(QString, path);
    QFETCH(QString, refusal);
    Bench bench(dir_->filePath("flist.txt"));
    bench.Open();

    AddImages(bench, {path});

    QCOMPARE(bench.Table()->topLevelItemCount(), refusal.isEmpty() ? 1 : 0);
    QCOMPARE(bench.prompts.Texts("inform"),
             refusal.isEmpty() ? QStringList{} : QStringList{refusal});
}

void AdvancedDialogTest::DeleteRemovesExactlyTheSelectedRows() {
    const QString path = dir_->filePath("flist.txt");
    WriteBytes(path, "1.orb    /1\r\n2.orb    /2\r\n3.orb    /3\r\n4.orb    /4\r\n5.orb    /5\r\n");
    Bench bench(path);
    bench.Open();

    bench.Select({1, 3});
    bench.Click("DeleteButton");

    QCOMPARE(bench.Rows(), (QStringList{"1.orb|/1", "3.orb|/3", "5.orb|/5"}));
    QVERIFY(bench.prompts.prompts.isEmpty());
    bench.Click("OkButton");
    QCOMPARE(ReadBytes(path), QByteArray("1.orb    /1\r\n3.orb    /3\r\n5.orb    /5\r\n"));
}

void AdvancedDialogTest::DeleteWithNothingSelectedSaysSo() {
    const QString path = dir_->filePath("flist.txt");
    WriteBytes(path, "1.orb    /1\r\n");
    Bench bench(path);
    bench.Open();

    bench.Click("DeleteButton");

    QCOMPARE(bench.prompts.Texts("inform"), QStringList{"You must select something to delete."});
    QCOMPARE(bench.prompts.prompts.last().caption, ApplicationName());
    QCOMPARE(bench.Rows(), QStringList{"1.orb|/1"});
}

void AdvancedDialogTest::OkOnAnEmptyTableAsksFirst_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes saves an empty list") << true;
    QTest::newRow("no stays") << false;
}

void AdvancedDialogTest::OkOnAnEmptyTableAsksFirst() {
    QFETCH(bool, yes);
    const QString path = dir_->filePath("flist.txt");
    WriteBytes(path, "1.orb    /1\r\n");
    Bench bench(path);
    bench.Open();
    bench.Select({0});
    bench.Click("DeleteButton");
    bench.prompts.answers = {yes};

    bench.Click("OkButton");

    QCOMPARE(bench.prompts.prompts.size(), 1);
    QCOMPARE(bench.prompts.prompts[0].text, kNoFilesText);
    QCOMPARE(bench.prompts.prompts[0].caption, QStringLiteral("No files?"));
    QVERIFY(!bench.prompts.prompts[0].icon);
    QCOMPARE(bench.dialog.isVisible(), !yes);
    QCOMPARE(ReadBytes(path), yes ? QByteArray() : QByteArray("1.orb    /1\r\n"));
}

void AdvancedDialogTest::OkWhenTheListCannotBeWrittenAsks_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes closes and takes the options over") << true;
    QTest::newRow("no keeps the dialog and its table") << false;
}

void AdvancedDialogTest::OkWhenTheListCannotBeWrittenAsks() {
    QFETCH(bool, yes);
    const QString path = dir_->filePath("no/such/folder/flist.txt");
    Bench bench(path);
    bench.Open();
    AddImages(bench, {"/fw/a.orb"});
    bench.Box("SkipSeekingBox")->click();
    bench.prompts.answers = {yes};

    bench.Click("OkButton");

    QCOMPARE(bench.prompts.Texts("ask"),
             QStringList{kWriteLead + path + " contains an invalid path." + kWriteTail});
    QCOMPARE(bench.prompts.prompts.last().caption, QStringLiteral("Cannot open IP File."));
    QVERIFY(bench.prompts.prompts.last().icon);
    QCOMPARE(bench.dialog.isVisible(), !yes);
    QCOMPARE(bench.dialog.SkipSeeking, yes ? 1 : 0);
    QCOMPARE(bench.Rows(), QStringList{"a.orb|/fw/a.orb"});
    QVERIFY(!QFile::exists(path));
}

// Catches the save that truncates the old list before writing: the operator who answers
// No must still have the old list on disk.
void AdvancedDialogTest::OkWhoseWriteFailsPartWayKeepsTheOldList() {
    const QString path = dir_->filePath("flist.txt");
    const QByteArray old_bytes = "old.orb    /old/old.orb\r\n";
    WriteBytes(path, old_bytes);
    Bench bench(path);
    bench.Open();
    QStringList images;
    for (int i = 0; i < 8; ++i) {
        images.append(QStringLiteral("/a/long/folder/of/new/images/image%1.orb").arg(i));
    }
    AddImages(bench, images);
    bench.prompts.answers = {false};

    {
        const FileSizeLimit limit(128);
        bench.Click("OkButton");
    }

    QCOMPARE(bench.prompts.Texts("ask"),
             QStringList{kWriteLead + "Disk full while accessing " + path + "." + kWriteTail});
    QVERIFY(bench.dialog.isVisible());
    QCOMPARE(ReadBytes(path), old_bytes);
    QCOMPARE(bench.Table()->topLevelItemCount(), 9);
}

void AdvancedDialogTest::SpecificAddressSelectsItsItem_data() {
    QTest::addColumn<int>("address");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("after_ok");
    QTest::addColumn<int>("after_cancel");
    QTest::newRow("none") << -1 << QString() << -1 << -1;
    QTest::newRow("32 selects nothing") << 32 << QString() << -1 << 32;
    QTest::newRow("0") << 0 << "0" << 0 << 0;
    QTest::newRow("9") << 9 << "9" << 9 << 9;
    QTest::newRow("10 is A") << 10 << "A" << 10 << 10;
    QTest::newRow("31 is V") << 31 << "V" << 31 << 31;
}

void AdvancedDialogTest::SpecificAddressSelectsItsItem() {
    QFETCH(int, address);
    QFETCH(QString, shown);
    QFETCH(int, after_ok);
    QFETCH(int, after_cancel);
    WriteBytes(dir_->filePath("flist.txt"), "a.orb    /a\r\n");
    for (const bool ok : {true, false}) {
        Bench bench(dir_->filePath("flist.txt"));
        bench.dialog.SpecificAddress = address;
        bench.Open();

        QCOMPARE(bench.Combo()->currentText(), shown);
        bench.Click(ok ? "OkButton" : "CancelButton");

        QCOMPARE(bench.dialog.SpecificAddress, ok ? after_ok : after_cancel);
    }
}

void AdvancedDialogTest::OutOfRangeFlagsComeBackAsZero_data() {
    QTest::addColumn<int>("flag");
    QTest::addColumn<int>("back");
    QTest::newRow("5") << 5 << 0;
    QTest::newRow("3") << 3 << 0;
    QTest::newRow("-1") << -1 << 0;
    QTest::newRow("2 kept") << 2 << 2;
    QTest::newRow("1 kept") << 1 << 1;
    QTest::newRow("0 kept") << 0 << 0;
}

void AdvancedDialogTest::OutOfRangeFlagsComeBackAsZero() {
    QFETCH(int, flag);
    QFETCH(int, back);
    WriteBytes(dir_->filePath("flist.txt"), "a.orb    /a\r\n");
    for (const bool ok : {true, false}) {
        Bench bench(dir_->filePath("flist.txt"));
        bench.dialog.SkipSeeking = flag;
        bench.dialog.ResetAfterDownload = flag;
        bench.dialog.UseSpecificAddress = flag;
        bench.Open();

        QCOMPARE(bench.Combo()->isEnabled(), back != 0);
        bench.Click(ok ? "OkButton" : "CancelButton");

        QCOMPARE(bench.dialog.SkipSeeking, back);
        QCOMPARE(bench.dialog.ResetAfterDownload, back);
        QCOMPARE(bench.dialog.UseSpecificAddress, back);
    }
}

// Catches a box that keeps cycling through the third state an automatic check box never
// offers.
void AdvancedDialogTest::AFlagOfTwoToggles() {
    WriteBytes(dir_->filePath("flist.txt"), "a.orb    /a\r\n");
    Bench bench(dir_->filePath("flist.txt"));
    bench.dialog.SkipSeeking = 2;
    bench.Open();
    QCheckBox* box = bench.Box("SkipSeekingBox");
    QCOMPARE(box->checkState(), Qt::PartiallyChecked);

    QList<Qt::CheckState> states;
    for (int click = 0; click < 3; ++click) {
        box->click();
        states.append(box->checkState());
    }

    QCOMPARE(states, (QList<Qt::CheckState>{Qt::Checked, Qt::Unchecked, Qt::Checked}));
}

void AdvancedDialogTest::UseSpecificAddressEnablesTheCombo() {
    Bench bench(dir_->filePath("flist.txt"));
    bench.dialog.SpecificAddress = 4;
    bench.Open();
    QCheckBox* box = bench.Box("UseSpecificAddressBox");
    QVERIFY(!bench.Combo()->isEnabled());

    box->click();
    QVERIFY(bench.Combo()->isEnabled());
    box->click();

    QVERIFY(!bench.Combo()->isEnabled());
    QCOMPARE(bench.Combo()->currentIndex(), 4);
}

void AdvancedDialogTest::ChosenOptionsComeBackOnOk() {
    WriteBytes(dir_->filePath("flist.txt"), "a.orb    /a\r\n");
    Bench bench(dir_->filePath("flist.txt"));
    bench.Open();

    bench.Box("UseSpecificAddressBox")->click();
    bench.Combo()->setCurrentIndex(23);
    bench.Box("SkipSeekingBox")->click();
    bench.Click("OkButton");

    QCOMPARE(bench.dialog.UseSpecificAddress, 1);
    QCOMPARE(bench.dialog.SpecificAddress, 23);
    QCOMPARE(bench.dialog.SkipSeeking, 1);
    QCOMPARE(bench.dialog.ResetAfterDownload, 0);
}

void AdvancedDialogTest::CancelLeavesFileAndOptionsAsTheyWere_data() {
    QTest::addColumn<bool>("escape");
    QTest::newRow("Cancel button") << false;
    QTest::newRow("Escape key") << true;
}

void AdvancedDialogTest::CancelLeavesFileAndOptionsAsTheyWere() {
    QFETCH(bool, escape);
    const QString path = dir_->filePath("flist.txt");
    const QByteArray bytes = "b.orb    /b\r\na.orb    /a\r\n";
    WriteBytes(path, bytes);
    Bench bench(path);
    bench.dialog.SpecificAddress = 3;
    bench.Open();

    AddImages(bench, {"/fw/c.orb"});
    bench.Select({0});
    bench.Click("DeleteButton");
    bench.Box("UseSpecificAddressBox")->click();
    bench.Combo()->setCurrentIndex(7);
    if (escape) {
        QTest::keyClick(&bench.dialog, Qt::Key_Escape);
    } else {
        bench.Click("CancelButton");
    }

    QCOMPARE(bench.dialog.result(), int(QDialog::Rejected));
    QVERIFY(!bench.dialog.isVisible());
    QCOMPARE(ReadBytes(path), bytes);
    QCOMPARE(bench.dialog.UseSpecificAddress, 0);
    QCOMPARE(bench.dialog.SpecificAddress, 3);
}

// The main window's way in: exec() loads the list, runs modally and returns after OK with
// the list saved.
void AdvancedDialogTest::ExecRunsTheDialogModally() {
    const QString path = dir_->filePath("flist.txt");
    WriteBytes(path, "bad line\r\n");
    Bench bench(path);
    bench.prompts.files = {"/fw/a.orb"};
    bench.prompts.answers = {true};  // the bad line may go
    QTimer::singleShot(0, &bench.dialog, [&] {
        bench.Click("AddButton");
        bench.Click("OkButton");
    });

    const int result = bench.dialog.exec();

    QCOMPARE(result, int(QDialog::Accepted));
    QCOMPARE(bench.prompts.prompts.size(), 3);
    QCOMPARE(bench.prompts.prompts[0].text, QStringLiteral("Invalid line in Files List file"));
    QCOMPARE(ReadBytes(path), QByteArray("a.orb    /fw/a.orb\r\n"));
}

void AdvancedDialogTest::SavesAScreenshotWithAFewRows() {
    const QString path = dir_->filePath("flist.txt");
    WriteBytes(path,
               "motor_main.orb    /srv/firmware/kdx2/motor_main.orb\r\n"
               "boot_patch.orb    /srv/firmware/kdx2/boot_patch.orb\r\n"
               "Parameters.orb    /srv/firmware/kdx2/Parameters.orb\r\n"
               "tables.orb    /srv/firmware/kdx2/tables.orb\r\n");
    Bench bench(path);
    bench.dialog.UseSpecificAddress = 1;
    bench.dialog.SpecificAddress = 12;
    bench.Open();
    bench.Select({1});
    QVERIFY(QTest::qWaitForWindowExposed(&bench.dialog));

    const QString shot = QStringLiteral(VANTOR_SCREENSHOT_DIR "/advanced_dialog.png");
    QVERIFY(bench.dialog.grab().save(shot));
    QVERIFY(QFile::exists(shot));
}

}  // namespace vantor::ui::test
