#include "files_list_io_test.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTest>
#include <cerrno>
#include <climits>
#include <string>
#include <vector>

#include "file_size_limit.h"
#include "image/files_list.h"
#include "image/files_list_io.h"

namespace vantor::ui::test {
namespace {

std::string ReadBytes(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return "<missing>";
    }
    return file.readAll().toStdString();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    QFile file(QString::fromStdString(path));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes.data(), static_cast<qint64>(bytes.size())),
             static_cast<qint64>(bytes.size()));
}

QStringList Joined(const std::vector<FilesListEntry>& entries) {
    QStringList joined;
    for (const FilesListEntry& entry : entries) {
        joined.append(QString::fromStdString(entry.Name + "|" + entry.Path));
    }
    return joined;
}

}  // namespace

void FilesListIoTest::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void FilesListIoTest::LoaderSplitsLinesAsTheDialogReadsThem_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("bad_lines");

    const QByteArray path_119(119, 'p');
    QTest::newRow("name and path")
        << QByteArray("a.orb    c:\\fw\\a.orb\r\n") << QStringList{"a.orb|c:\\fw\\a.orb"} << 0;
    QTest::newRow("five blanks keep one in the path")
        << QByteArray("a.orb     /fw/a.orb\r\n") << QStringList{"a.orb| /fw/a.orb"} << 0;
    QTest::newRow("path with its own four blanks")
        << QByteArray("a.orb    /my    fw/a.orb\r\n") << QStringList{"a.orb|/my    fw/a.orb"} << 0;
    QTest::newRow("128 characters taken") << (QByteArray("a.orb    ") + path_119 + "\r\n")
                                          << QStringList{"a.orb|" + QString(path_119)} << 0;
    QTest::newRow("129 characters refused")
        << (QByteArray("a.orb    ") + path_119 + "q\r\nb.orb    /b\r\n") << QStringList{"b.orb|/b"}
        << 1;
    // The CR of a CR LF is not counted towards the limit, with or without it.
    QTest::newRow("128 characters with a bare LF")
        << (QByteArray("a.orb    ") + path_119 + "\n") << QStringList{"a.orb|" + QString(path_119)}
        << 0;
    QTest::newRow("blank line refused, its neighbours kept")
        << QByteArray("a.orb    /a\r\n\r\nb.orb    /b\r\n") << QStringList{"a.orb|/a", "b.orb|/b"}
        << 1;
    QTest::newRow("no separator refused") << QByteArray("a.orb   /a\r\n") << QStringList{} << 1;
    QTest::newRow("four leading blanks refused")
        << QByteArray("    /fw/a.orb\r\n") << QStringList{} << 1;
    QTest::newRow("every bad line counted")
        << QByteArray("x\r\n\r\n    y\r\nok    /ok\r\n") << QStringList{"ok|/ok"} << 3;
    QTest::newRow("last line without a line end")
        << QByteArray("a.orb    /a\r\nb.orb    /b") << QStringList{"a.orb|/a", "b.orb|/b"} << 0;
    QTest::newRow("a CR not before the LF stays")
        << QByteArray("a.orb    /a\rb\n") << QStringList{"a.orb|/a\rb"} << 0;
    QTest::newRow("duplicate names in file order")
        << QByteArray("b.orb    /2/b.orb\r\nb.orb    /1/b.orb\r\n")
        << QStringList{"b.orb|/2/b.orb", "b.orb|/1/b.orb"} << 0;
    QTest::newRow("empty file") << QByteArray() << QStringList{} << 0;
}

void FilesListIoTest::LoaderSplitsLinesAsTheDialogReadsThem() {
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, rows);
    QFETCH(int, bad_lines);
    const std::string path = dir_->filePath("flist.txt").toStdString();
    WriteBytes(path, bytes.toStdString());

    const LoadedFilesList loaded = LoadDialogFilesList(path);

    QVERIFY(loaded.opened);
    QCOMPARE(Joined(loaded.entries), rows);
    QCOMPARE(loaded.bad_lines, bad_lines);
    QCOMPARE(ReadBytes(path), bytes.toStdString());
}

void FilesListIoTest::LoaderCreatesAMissingListEmpty() {
    const std::string path = dir_->filePath("flist.txt").toStdString();

    const LoadedFilesList loaded = LoadDialogFilesList(path);

    QVERIFY(loaded.opened);
    QVERIFY(loaded.entries.empty());
    QCOMPARE(ReadBytes(path), std::string());
}

void FilesListIoTest::LoaderLeavesAListTheJobHoldsUnread() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    WriteBytes(path, "a.orb    /a\r\n");
    FilesListFile job_reader;
    QVERIFY(job_reader.OpenForJob(path));

    const LoadedFilesList loaded = LoadDialogFilesList(path);

    QVERIFY(!loaded.opened);
    QVERIFY(loaded.entries.empty());
    QCOMPARE(loaded.bad_lines, 0);
}

// Catches a loader that opens a FIFO for reading and blocks the dialog for ever.
void FilesListIoTest::LoaderDoesNotHangOnAFifo() {
    const std::string path = dir_->filePath("fifo").toStdString();
    QCOMPARE(::mkfifo(path.c_str(), 0600), 0);

    const LoadedFilesList loaded = LoadDialogFilesList(path);

    QVERIFY(!loaded.opened);
}

void FilesListIoTest::SaveWritesNameBlanksPathAndCrLfPerRow() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    WriteBytes(path, "old.orb    /old/old.orb\r\nmore.orb    /old/more.orb\r\n");

    QVERIFY(!SaveDialogFilesList(path, {{"a.orb", "/fw/a.orb"}, {"b.orb", "/fw 2/b.orb"}}));

    QCOMPARE(ReadBytes(path), std::string("a.orb    /fw/a.orb\r\nb.orb    /fw 2/b.orb\r\n"));
}

void FilesListIoTest::SaveOfNoRowsLeavesZeroBytes() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    WriteBytes(path, "a.orb    /a\r\n");

    QVERIFY(!SaveDialogFilesList(path, {}));

    QCOMPARE(ReadBytes(path), std::string());
}

void FilesListIoTest::SaveKeepsPermissionsAndLeavesNoTemporaryFile() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    WriteBytes(path, "a.orb    /a\r\n");
    QCOMPARE(::chmod(path.c_str(), 0640), 0);

    QVERIFY(!SaveDialogFilesList(path, {{"b.orb", "/b"}}));

    struct stat status {};
    QCOMPARE(::stat(path.c_str(), &status), 0);
    QCOMPARE(status.st_mode & 07777, 0640u);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), QStringList{"flist.txt"});
}

// Catches the writer that truncates the old list first: a write that fails part way would
// leave the operator with half a list.
void FilesListIoTest::SaveFailingPartWayLeavesTheOldList() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    std::string old_bytes;
    std::vector<FilesListEntry> rows;
    for (int i = 0; i < 10; ++i) {
        const std::string name = "image" + std::to_string(i) + ".orb";
        old_bytes += name + "    /old/" + name + "\r\n";
        rows.push_back({name, "/a/much/longer/folder/for/the/new/images/" + name});
    }
    WriteBytes(path, old_bytes);

    std::optional<FilesListNotSaved> not_saved;
    {
        const FileSizeLimit limit(256);
        not_saved = SaveDialogFilesList(path, rows);
    }

    QVERIFY(not_saved);
    QCOMPARE(not_saved->error_number, EFBIG);
    QCOMPARE(not_saved->path, path);
    QCOMPARE(ReadBytes(path), old_bytes);
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), QStringList{"flist.txt"});
}

// Catches a writable list refused because no file can be made beside it; here the list's
// name leaves no room for a temporary file's suffix, as a folder the user may not write would.
void FilesListIoTest::SaveWritesInPlaceWhenNothingFitsBeside() {
    const std::string path =
        dir_->filePath(QString(NAME_MAX - 4, QLatin1Char('n')) + ".txt").toStdString();
    WriteBytes(path, "old.orb    /old\r\n");
    QVERIFY(!SaveDialogFilesList(path, {{"a.orb", "/a"}}));
    QCOMPARE(ReadBytes(path), std::string("a.orb    /a\r\n"));

    // Neither way works: the list stays as it was and the error names the folder.
    std::vector<FilesListEntry> rows;
    for (int i = 0; i < 10; ++i) {
        rows.push_back({"image" + std::to_string(i) + ".orb", "/a/longer/folder/image.orb"});
    }
    std::optional<FilesListNotSaved> not_saved;
    {
        const FileSizeLimit limit(64);
        not_saved = SaveDialogFilesList(path, rows);
    }
    QVERIFY(not_saved);
    QCOMPARE(not_saved->error_number, EFBIG);
    QCOMPARE(not_saved->path, dir_->path().toStdString());
    QCOMPARE(ReadBytes(path), std::string("a.orb    /a\r\n"));
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files).size(), 1);
}

// Catches a rename that slips past the lock a running job holds on the list.
void FilesListIoTest::SaveIsRefusedWhileTheJobReadsTheList() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    WriteBytes(path, "a.orb    /a\r\n");
    FilesListFile job_reader;
    QVERIFY(job_reader.OpenForJob(path));

    const auto not_saved = SaveDialogFilesList(path, {{"b.orb", "/b"}});

    QVERIFY(not_saved);
    QCOMPARE(not_saved->error_number, EWOULDBLOCK);
    QCOMPARE(ReadBytes(path), std::string("a.orb    /a\r\n"));
}

void FilesListIoTest::SaveIntoAMissingFolderGivesInvalidPath() {
    const std::string path = dir_->filePath("no/such/folder/flist.txt").toStdString();

    const auto not_saved = SaveDialogFilesList(path, {{"a.orb", "/a"}});

    QVERIFY(not_saved);
    QCOMPARE(not_saved->error_number, ENOENT);
    QCOMPARE(FileErrorReason(not_saved->error_number, not_saved->path),
             path + " contains an invalid path.");
}

void FilesListIoTest::SaveThroughALinkReplacesItsTarget() {
    const std::string target = dir_->filePath("real.txt").toStdString();
    const std::string link = dir_->filePath("flist.txt").toStdString();
    WriteBytes(target, "a.orb    /a\r\n");
    QCOMPARE(::symlink(target.c_str(), link.c_str()), 0);

    QVERIFY(!SaveDialogFilesList(link, {{"b.orb", "/b"}}));

    struct stat status {};
    QCOMPARE(::lstat(link.c_str(), &status), 0);
    QVERIFY(S_ISLNK(status.st_mode));
    QCOMPARE(ReadBytes(target), std::string("b.orb    /b\r\n"));
}

void FilesListIoTest::SaveRefusesAFifoWithoutHanging() {
    const std::string path = dir_->filePath("fifo").toStdString();
    QCOMPARE(::mkfifo(path.c_str(), 0600), 0);

    const auto not_saved = SaveDialogFilesList(path, {{"a.orb", "/a"}});
    QVERIFY(not_saved);
    QCOMPARE(not_saved->error_number, EACCES);

    struct stat status {};
    QCOMPARE(::lstat(path.c_str(), &status), 0);
    QVERIFY(S_ISFIFO(status.st_mode));
}

// The job must download exactly the rows the dialog saved, in their order.
void FilesListIoTest::JobReadsBackWhatTheDialogSaved() {
    const std::string path = dir_->filePath("flist.txt").toStdString();
    const std::vector<FilesListEntry> rows = {
        {"a.orb", "/fw/a.orb"}, {"b.orb", " /fw    b/b.orb"}, {"c.orb", "/c.orb"}};
    QVERIFY(!SaveDialogFilesList(path, rows));

    FilesListFile job_reader;
    QVERIFY(job_reader.OpenForJob(path));
    std::vector<FilesListEntry> read_back;
    std::string line;
    while (job_reader.ReadLine(line)) {
        read_back.push_back(SplitJobLine(line));
    }

    QCOMPARE(Joined(read_back), Joined(rows));
}

void FilesListIoTest::ReasonNamesTheCauseAndThePath_data() {
    QTest::addColumn<int>("error_number");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing folder") << ENOENT << "/x/y contains an invalid path.";
    QTest::newRow("not a folder") << ENOTDIR << "/x/y contains an invalid path.";
    QTest::newRow("access") << EACCES << "Access to /x/y was denied.";
    QTest::newRow("read-only file system") << EROFS << "Access to /x/y was denied.";
    QTest::newRow("open files")
        << EMFILE << "/x/y could not be opened because there are too many open files.";
    QTest::newRow("disk full") << ENOSPC << "Disk full while accessing /x/y.";
    QTest::newRow("too large") << EFBIG << "Disk full while accessing /x/y.";
    QTest::newRow("hardware") << EIO << "A hardware I/O error was reported while accessing /x/y.";
    QTest::newRow("locked elsewhere")
        << EWOULDBLOCK << "A sharing violation occurred while accessing /x/y.";
    QTest::newRow("anything else")
        << EINVAL << "An unexpected error occurred while accessing /x/y.";
}

void FilesListIoTest::ReasonNamesTheCauseAndThePath() {
    QFETCH(int, error_number);
    QFETCH(QString, reason);
    QCOMPARE(QString::fromStdString(FileErrorReason(error_number, "/x/y")), reason);
}

// Catches a reason that overruns the 1024-character buffer it is read into.
void FilesListIoTest::ReasonIsCutToTheBuffer() {
    const std::string long_path = "/" + std::string(2000, 'd') + "/flist.txt";

    const std::string reason = FileErrorReason(EACCES, long_path);

    QCOMPARE(reason.size(), kFileErrorReasonBuffer - 1);
    QCOMPARE(reason, ("Access to " + long_path).substr(0, 1023));
}

}  // namespace vantor::ui::test
