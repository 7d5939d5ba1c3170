// The Advanced options dialog, driven as the operator would, with its questions answered
// by a recorder.
#pragma once

#include <QObject>
#include <QTemporaryDir>
#include <memory>

namespace vantor::ui::test {

class AdvancedDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void OpeningCreatesAMissingListWithAnEmptyTable();
    void ControlsFollowTheTemplate();
    void EachBadLineGetsItsOwnMessage();
    void RowsAreSortedByFileName_data();
    void RowsAreSortedByFileName();
    void AddAsksForAnImageAndAddsItsNameAndPath();
    void AddCancelledAddsNothing();
    void AddComparesNamesByteForByte_data();
    void AddComparesNamesByteForByte();
    void AddRefusesRowsTheListCannotKeep_data();
    void AddRefusesRowsTheListCannotKeep();
    void DeleteRemovesExactlyTheSelectedRows();
    void DeleteWithNothingSelectedSaysSo();
    void OkOnAnEmptyTableAsksFirst_data();
    void OkOnAnEmptyTableAsksFirst();
    void OkWhenTheListCannotBeWrittenAsks_data();
    void OkWhenTheListCannotBeWrittenAsks();
    void OkWhoseWriteFailsPartWayKeepsTheOldList();
    void SpecificAddressSelectsItsItem_data();
    void SpecificAddressSelectsItsItem();
    void OutOfRangeFlagsComeBackAsZero_data();
    void OutOfRangeFlagsComeBackAsZero();
    void AFlagOfTwoToggles();
    void UseSpecificAddressEnablesTheCombo();
    void ChosenOptionsComeBackOnOk();
    void CancelLeavesFileAndOptionsAsTheyWere_data();
    void CancelLeavesFileAndOptionsAsTheyWere();
    void ExecRunsTheDialogModally();
    void SavesAScreenshotWithAFewRows();

  private:
    std::unique_ptr<QTemporaryDir> dir_;
};

}  // namespace vantor::ui::test
