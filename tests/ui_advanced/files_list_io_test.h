// The dialog's files list loader and writer, on real files in a temporary folder.
#pragma once

#include <QObject>
#include <QTemporaryDir>
#include <memory>

namespace vantor::ui::test {

class FilesListIoTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void LoaderSplitsLinesAsTheDialogReadsThem_data();
    void LoaderSplitsLinesAsTheDialogReadsThem();
    void LoaderCreatesAMissingListEmpty();
    void LoaderLeavesAListTheJobHoldsUnread();
    void LoaderDoesNotHangOnAFifo();
    void SaveWritesNameBlanksPathAndCrLfPerRow();
    void SaveOfNoRowsLeavesZeroBytes();
    void SaveKeepsPermissionsAndLeavesNoTemporaryFile();
    void SaveFailingPartWayLeavesTheOldList();
    void SaveWritesInPlaceWhenNothingFitsBeside();
    void SaveIsRefusedWhileTheJobReadsTheList();
    void SaveIntoAMissingFolderGivesInvalidPath();
    void SaveThroughALinkReplacesItsTarget();
    void SaveRefusesAFifoWithoutHanging();
    void JobReadsBackWhatTheDialogSaved();
    void ReasonNamesTheCauseAndThePath_data();
    void ReasonNamesTheCauseAndThePath();
    void ReasonIsCutToTheBuffer();

  private:
    std::unique_ptr<QTemporaryDir> dir_;
};

}  // namespace vantor::ui::test
