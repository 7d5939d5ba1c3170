// Runs the Advanced options dialog's test classes in one application.
#include <QApplication>
#include <QTest>

#include "support/test_support.h"

#include "advanced_dialog_test.h"
#include "files_list_io_test.h"
#include "saved_list_download_test.h"

int main(int argc, char** argv) {
    const vantor::test::ScopedRuntimeFolder runtime_folder;
    QApplication app(argc, argv);
    int failures = 0;
    {
        vantor::ui::test::FilesListIoTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::AdvancedDialogTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::SavedListDownloadTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
