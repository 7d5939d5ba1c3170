// The "Advanced options" dialog: edits the files list and the addressing options.
#pragma once

#include <QDialog>
#include <QString>

class QShowEvent;

namespace vantor::ui {

// Answers the questions the dialog asks the operator: the file dialog and the message boxes.
// The real one shows them; tests install one that answers without a person.
class AdvancedDialogPrompts {
  public:
    virtual ~AdvancedDialogPrompts() = default;
    // The chosen file's path, or an empty string when the operator cancelled.
    virtual QString ChooseImageFile(QWidget* parent, const QString& title,
                                    const QString& filters) = 0;
    // An OK-only box.
    virtual void Inform(QWidget* parent, const QString& text, const QString& caption,
                        bool information_icon) = 0;
    // A Yes/No box; true for Yes.
    virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& caption,
                          bool stop_icon) = 0;
    // An OK-only box whose `detail` stands under its text. By default the detail follows the
    // text in one box.
    virtual void InformWithDetail(QWidget* parent, const QString& text, const QString& detail,
                                  const QString& caption, bool information_icon) {
        Inform(parent, text + QStringLiteral("\n\n") + detail, caption, information_icon);
    }
    // A Yes/No box whose default is No, for a question whose Yes loses something; true for
    // Yes. By default asked as AskYesNo asks.
    virtual bool AskYesNoDefaultNo(QWidget* parent, const QString& text, const QString& caption) {
        return AskYesNo(parent, text, caption, false);
    }
};

class AdvancedDialog : public QDialog {
    Q_OBJECT
  public:
    // `prompts` may be nullptr: the dialog then shows real dialogs.
    explicit AdvancedDialog(QWidget* parent = nullptr, AdvancedDialogPrompts* prompts = nullptr);
    ~AdvancedDialog() override;

    // Set by the caller before exec(), read back after it closes (OK or Cancel alike).
    QString FilesListPath;
    int SkipSeeking = 0;
    int ResetAfterDownload = 0;
    int UseSpecificAddress = 0;
    int SpecificAddress = -1;

    // Runs the dialog's initialisation (which may report bad lines of the files list) before
    // the dialog shows, then runs it modally.
    int exec() override;

    // OK: saves the files list and takes the control values over, or asks first when the
    // table is empty or the list cannot be written.
    void accept() override;

  protected:
    // The first show runs the dialog's initialisation with the values the caller set.
    void showEvent(QShowEvent* event) override;

  private:
    struct Private;
    Private* d_;  // owned; the dialog's controls and state
};

}  // namespace vantor::ui
