// The "Advanced options" dialog.
#include "ui/advanced_dialog.h"

namespace vantor::ui {

struct AdvancedDialog::Private {
    AdvancedDialogPrompts* prompts = nullptr;
};

AdvancedDialog::AdvancedDialog(QWidget* parent, AdvancedDialogPrompts* prompts)
    : QDialog(parent), d_(new Private) {
    d_->prompts = prompts;
    setWindowTitle(QStringLiteral("Advanced options"));
}

AdvancedDialog::~AdvancedDialog() {
    delete d_;
}

}  // namespace vantor::ui
