// The test classes of the operator's window.
#pragma once

#include <QObject>

namespace vantor::ui::test {

class CommandLineTest : public QObject {
    Q_OBJECT
  private slots:
    void AppliesTheSwitches_data();
    void AppliesTheSwitches();
    void NegativeNotifyNumberIsKeptButPostsNothing();
    void HelpAndVersionNeedNoWindow();
    void NotifyNumberMustNameAnInheritedChannel();
    void RecordsSwitchesAndPendingSwitch();
};

class SettingsTest : public QObject {
    Q_OBJECT
  private slots:
    void FirstRunStoresOnlyTheFilesListPath();
    void FilesListPathIsReadBack_data();
    void FilesListPathIsReadBack();
    void ComSelectsThePort_data();
    void ComSelectsThePort();
    void BratSelectsTheSpeed_data();
    void BratSelectsTheSpeed();
    void AddressRoundTrips();
    void EmptyAddressMeansNoneChosen();
    void AddrenRoundTrips_data();
    void AddrenRoundTrips();
    void SwitchesWinOverStoredPortAndSpeed_data();
    void SwitchesWinOverStoredPortAndSpeed();
    void ButtonClicksAreRememberedAcrossRuns();
    void DamagedStoreIsShownAndKeptAsItIs();
    void CommentLinesSurviveAWrite();
};

class ColorListBoxTest : public QObject {
    Q_OBJECT
  private slots:
    void StoresBothPrefixCharacters_data();
    void StoresBothPrefixCharacters();
    void DrawsLineColours_data();
    void DrawsLineColours();
    void DrawsSelectedLineInHighlightColours();
    void EmptyLineIsFilledWithItsBackground();
    void EmptyListWithFocusShowsFocusRectangle();
    void TabContinuesAtNextStop_data();
    void TabContinuesAtNextStop();
    void RefusedLineMakesRoom_data();
    void RefusedLineMakesRoom();
    void HorizontalExtentFollowsWidestLine();
};

class MainDialogTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void ControlsSitAtTheirTemplatePositions_data();
    void ControlsSitAtTheirTemplatePositions();
    void ShowsTheNineInstructionLines();
    void StartDuringJobBlanksLabelsAndStartsNothing();
    void JobIsRecordedInTheHistory();
    void SingleImageDownloadEndsTheProgram();
    void FailedDownloadLeavesTheWindowOpen();
    void EnterOnARadioButtonIsTheOkCommand();
    void EnterOnAPushButtonPressesIt();
    void CancelCommandPostsProgramClosed_data();
    void CancelCommandPostsProgramClosed();
    void HeaderCheckBoxBlocksOnlyTheWorker();
    void AdvancedDialogSitsOverTheWindow();
    void TabGoesRoundTheOptionButtonsAndTheInstructions();
    void PortReasonIsShownUnderTheStatusText();
    void FilesListBoxOpensOverTheAdvancedDialog();
    void PortButtonsShowTheirDevices();
    void AboutBoxShowsCaptionAndVersion();
    void CancelledAdvancedDialogStoresAddressingAgain();
    void WritesScreenshots();
};

// The window's jobs in its modal run: the boxes answered there, the quit, the stray keys and
// the confirmed stop during a download, and what a job met shown beside the status.
class WindowJobTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void HeaderMessageIsAnsweredInTheModalRun_data();
    void HeaderMessageIsAnsweredInTheModalRun();
    void QuitEndsEveryDialogOpenOverTheWindow_data();
    void QuitEndsEveryDialogOpenOverTheWindow();
    void StrayKeysLeaveTheDownloadRunning();
    void ConfirmedStopIsRecordedAsInterrupted_data();
    void ConfirmedStopIsRecordedAsInterrupted();
    void MissingResponsesAreShownBesideTheSuccess();
};

// What Start will send, checked before the port opens: the plan's faults named without a
// window, then in the window, with the totals of the progress and the names before Start.
class SendPlanTest : public QObject {
    Q_OBJECT
  private slots:
    void init();
    void cleanup();
    void PlanNamesTheLineAndTheReason_data();
    void PlanNamesTheLineAndTheReason();
    void MissingSecondImageTouchesNoDrive_data();
    void MissingSecondImageTouchesNoDrive();
    void ProgressGivesFileAndPacketTotals();
    void ImagesAreNamedBeforeStart();
    void ValuesCarryNamesForAScreenReader();
    void WindowsFitASmallScreen();
};

}  // namespace vantor::ui::test
