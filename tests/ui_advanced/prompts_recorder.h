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
        bool icon = false;  // information icon for "inform", stop icon for "ask"
    };

    QString ChooseImageFile(QWidget*, const QString& title, const QString& filters) override {
        prompts.append({QStringLiteral("file"), filters, title, false});
        return files.isEmpty() ? QString() : files.takeFirst();
    }
    void Inform(QWidget*, const QString& text, const QString& caption,
                bool information_icon) override {
        prompts.append({QStringLiteral("inform"), text, caption, information_icon});
    }
    // A question nobody scripted an answer for is answered No and counted, so a test fails
    // on an unexpected question instead of hanging.
    bool AskYesNo(QWidget*, const QString& text, const QString& caption, bool stop_icon) override {
        prompts.append({QStringLiteral("ask"), text, caption, stop_icon});
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
