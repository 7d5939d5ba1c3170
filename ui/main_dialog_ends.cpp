// The ends of the main window: the OK and cancel commands, the job's quit, and the question
// asked before a running download is stopped, so that no stray key ends a download.
#include <QApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "platform/window_link.h"
#include "ui/gui_window_link.h"
#include "ui/job_history.h"
#include "ui/job_words.h"
#include "ui/main_dialog.h"
#include "ui/window_focus.h"

namespace vantor::ui {

bool MainDialog::JobRecorded() const {
    return core_.JobRecorded();
}

void MainDialog::accept() {
    // While a job runs the OK command does nothing: Enter on an option button must not end the
    // program, and the drive with it, half-way through an image.
    if (!core_.MayEndByOk()) {
        return;
    }
    DoDataExchange(true);
    // The program ends here as by Exit, so the controlling program hears of it the same way.
    core_.PostProgramClosed();
    QDialog::accept();
}

void MainDialog::reject() {
    if (core_.Closing()) {
        return;  // a second close while the first one asks or waits
    }
    if (core_.JobIsRunning()) {
        core_.SetClosing(true);
        const bool stop = AskToStopTheJob();
        if (stop && isVisible()) {
            StopTheJob();
        }
        core_.SetClosing(false);
        // Kept downloading, or the job's quit ended the window meanwhile.
        if (!stop || !isVisible()) {
            return;
        }
    }
    core_.PostProgramClosed();
    QDialog::reject();
}

bool MainDialog::AskToStopTheJob() {
    QMessageBox box(QMessageBox::Question, ProgramName(), QString::fromLatin1(kStopQuestionText),
                    QMessageBox::NoButton, this);
    box.setObjectName(QStringLiteral("StopQuestion"));
    box.setTextFormat(Qt::PlainText);
    box.setInformativeText(QString::fromLatin1(kStopQuestionDetail));
    QPushButton* keep =
        box.addButton(QString::fromLatin1(kKeepDownloadingText), QMessageBox::RejectRole);
    QPushButton* stop =
        box.addButton(QString::fromLatin1(kStopAndCloseText), QMessageBox::DestructiveRole);
    // Enter, Escape and the box's own close box all keep the download going.
    box.setDefaultButton(keep);
    box.setEscapeButton(keep);
    box.exec();
    GiveFocusBack(this);
    return box.clickedButton() == stop;
}

void MainDialog::StopTheJob() {
    // As the command line's first Ctrl-C: the job stops between two operations, closes the port
    // and is recorded as interrupted.
    core_.RequestStop();
    // A box of the job that waits for the operator would hold the worker from that point.
    for (QMessageBox* box : GuiWindowLink::Instance().OpenBoxes()) {
        box->close();
    }
    const bool finished = WaitForTheJob(std::chrono::seconds(kStopBoundSeconds));
    if (!isVisible()) {
        return;
    }
    const std::string text = core_.StoppedText(finished);
    if (text.empty()) {
        return;  // the job came to its own end first
    }
    ShowJobNote(text);
    QMessageBox told(QMessageBox::Information, ProgramName(), QString::fromLocal8Bit(text),
                     QMessageBox::Ok, this);
    told.setObjectName(QStringLiteral("StoppedBox"));
    told.setTextFormat(Qt::PlainText);
    told.exec();
}

bool MainDialog::WaitForTheJob(std::chrono::milliseconds bound) {
    if (core_.JobRecorded()) {
        return true;
    }
    // The worker waits for the window at each display, so the window's calls go on being
    // carried out; the operator's input waits until the job is done.
    const QDeadlineTimer deadline(bound);
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &loop, [&] {
        if (core_.JobRecorded() || deadline.hasExpired()) {
            loop.quit();
        }
    });
    constexpr int kPollMs = 10;
    poll.start(kPollMs);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return core_.JobRecorded();
}

void MainDialog::NoteJobEnded(const JobRecord& record) {
    core_.NoteJobEnded(record);
}

void MainDialog::ShowJobNote(const std::string& text) {
    core_.ShowJobNote(text);
}

void MainDialog::EndByQuit() {
    CloseModalWindowsOver(this);
    done(kQuitResult);
    // As the platform's quit message, this ends every modal loop that runs now, and any that
    // code still unwinding would start: a controlling program waiting for the process does
    // not wait for an operator to close a stray dialog.
    QCoreApplication::exit(kQuitResult);
}

void MainDialog::CloseModalWindowsOver(QWidget* window) {
    // Each round closes one window; a few dialogs at most are ever open over the main window,
    // and a window that stays in the way after its round ends the rounds.
    constexpr int kMaxWindowsOver = 16;
    for (int round = 0; round < kMaxWindowsOver; ++round) {
        QWidget* top = QApplication::activePopupWidget();
        if (top == nullptr) {
            top = QApplication::activeModalWidget();
        }
        if (top == nullptr || top == window) {
            return;
        }
        // Innermost first, so that each dialog's own ending sees its children gone.
        if (auto* dialog = qobject_cast<QDialog*>(top)) {
            dialog->reject();
        } else {
            top->close();
        }
        top->hide();
    }
}

void MainDialog::done(int result) {
    // Every end of the window: from now on the worker's calls return at once.
    GuiWindowLink::Instance().Detach(this);
    QDialog::done(result);
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == 0) {
        // Enter presses the push button that has the focus, else it is the OK command, which
        // does nothing while a job runs.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace vantor::ui
