// Runs the window's test classes in one application on the offscreen platform.
#include <QApplication>
#include <QTest>

#include "support/test_support.h"

#include "tests.h"

int main(int argc, char** argv) {
    const vantor::test::ScopedRuntimeFolder runtime_folder;
    QApplication app(argc, argv);
    QApplication::setStyle(QStringLiteral("Windows"));
    int failures = 0;
    {
        vantor::ui::test::CommandLineTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::SettingsTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::ColorListBoxTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::MainDialogTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::WindowJobTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    {
        vantor::ui::test::SendPlanTest test;
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures == 0 ? 0 : 1;
}
