// Answers the Advanced options dialog's file dialog and message boxes without a person and
// records every question it was asked.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "ui/advanced_dialog.h"

namespace vantor::ui::test {

class PromptsRecorder final : public AdvancedDialogPrompts {
  public:
    struct Prompt {
        QString kind;  // "file", "inform" or "ask"
        QString text;  // the message, or the file dialog's filters
        QString caption;
        bool icon = false;        // information icon for "inform", stop icon for "ask"
        QString detail;           // what stands under the text ("inform" only)
        bool default_no = false;  // a question whose default is No ("ask" only)
    };

    QString ChooseImageFile(QWidget*, const QString& title, const QString& filters) override {
        prompts.append({QStringLiteral("file"), filters, title, false, QString(), false});
        return files.isEmpty() ? QString() : files.takeFirst();
    }
    void Inform(QWidget*, const QString& text, const QString& caption,
                bool information_icon) override {
        prompts.append(
            {QStringLiteral("inform"), text, caption, information_icon, QString(), false});
    }
    void InformWithDetail(QWidget*, const QString& text, const QString& detail,
                          const QString& caption, bool information_icon) override {
        prompts.append({QStringLiteral("inform"), text, caption, information_icon, detail, false});
    }
    bool AskYesNoDefaultNo(QWidget* parent, const QString& text, const QString& caption) override {
        const bool yes = AskYesNo(parent, text, caption, false);
        prompts.back().default_no = true;
        return yes;
    }
    // A question nobody scripted an answer for is answered No and counted, so a test fails
    // on an unexpected question instead of hanging.
    bool AskYesNo(QWidget*, const QString& text, const QString& caption, bool stop_icon) override {
        prompts.append({QStringLiteral("ask"), text, caption, stop_icon, QString(), false});
        if (answers.isEmpty()) {
            ++unanswered;
            return false;
        }
        return answers.takeFirst();
    }

    QStringList Texts(const QString& kind) const {
        QStringList texts;
        for (const Prompt& prompt : prompts) {
            if (prompt.kind == kind) {
                texts.append(prompt.text);
            }
        }
        return texts;
    }

    QStringList files;    // the file dialog's answers, in order; none left: cancelled
    QList<bool> answers;  // the Yes/No answers, in order
    QList<Prompt> prompts;
    int unanswered = 0;
};

}  // namespace vantor::ui::test
