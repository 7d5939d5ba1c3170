#include "saved_list_download_test.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <cstdint>
#include <vector>

#include "image/image_writer.h"
#include "job/job.h"
#include "prompts_recorder.h"
#include "support/test_support.h"
#include "ui/advanced_dialog.h"

namespace vantor::ui::test {
namespace {

using image_writer::Bytes;
using image_writer::ImageBuilder;

constexpr std::size_t kKdxHeaderBytes = 16;

// What the drive must receive for these images: their packets, header left off, in order.
Bytes PacketBytesOf(const std::vector<Bytes>& images) {
    Bytes all;
    for (const Bytes& image : images) {
        all.insert(all.end(), image.begin() + kKdxHeaderBytes, image.end());
    }
    return all;
}

Bytes Flattened(const std::vector<std::vector<std::uint8_t>>& packets) {
    Bytes all;
    for (const auto& packet : packets) {
        all.insert(all.end(), packet.begin(), packet.end());
    }
    return all;
}

}  // namespace

// Catches a list the job cannot walk as the dialog saved it, and addressing options that
// do not reach the job: the only drive answers at address 9 alone.
void SavedListDownloadTest::EveryImageOfTheSavedListReachesTheDriveInTableOrder() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Bytes motor = ImageBuilder::Kdx(2).FillerPackets(3, 30, 0x1000, 1).Build();
    const Bytes boot = ImageBuilder::Kdx(2).FillerPackets(2, 24, 0x2000, 2).Build();
    const QString motor_path = dir.filePath("motor.orb");
    const QString boot_path = dir.filePath("boot.orb");
    QVERIFY(image_writer::WriteFile(motor_path.toStdString(), motor));
    QVERIFY(image_writer::WriteFile(boot_path.toStdString(), boot));

    JobHost host;
    host.Options.FilesListPath = dir.filePath("flist.txt").toStdString();
    host.Options.PortIndex = 0;
    {
        PromptsRecorder prompts;
        prompts.files = {motor_path, boot_path};
        AdvancedDialog dialog(nullptr, &prompts);
        dialog.FilesListPath = QString::fromStdString(host.Options.FilesListPath);
        dialog.SpecificAddress = -1;
        dialog.show();
        dialog.findChild<QPushButton*>(QStringLiteral("AddButton"))->click();
        dialog.findChild<QPushButton*>(QStringLiteral("AddButton"))->click();
        dialog.findChild<QCheckBox*>(QStringLiteral("UseSpecificAddressBox"))->click();
        dialog.findChild<QComboBox*>(QStringLiteral("AddressCombo"))->setCurrentIndex(9);
        dialog.findChild<QPushButton*>(QStringLiteral("OkButton"))->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        host.Options.UseSpecificAddress = dialog.UseSpecificAddress;
        host.Options.SpecificAddress = dialog.SpecificAddress;
    }

    vantor::test::SimBench bench("address=9");
    host.JobRunning = 1;
    const JobOutcome result = DownloadJob(host);

    QVERIFY(result == JobResult::kDone);
    QCOMPARE(host.JobRunning.load(), 0);
    QVERIFY(Flattened(bench.world->AcceptedPackets()) == PacketBytesOf({boot, motor}));
}

}  // namespace vantor::ui::test
