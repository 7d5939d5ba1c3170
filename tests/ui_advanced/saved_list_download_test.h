// The operator's whole path through the dialog: build a files list, choose the drive's
// address, save, and let the job download every image to the simulated drive.
#pragma once

#include <QObject>

namespace vantor::ui::test {

class SavedListDownloadTest : public QObject {
    Q_OBJECT
  private slots:
    void EveryImageOfTheSavedListReachesTheDriveInTableOrder();
};

}  // namespace vantor::ui::test
