#include "ui/window_focus.h"

namespace vantor::ui {

void GiveFocusBack(QWidget* window) {
    if (window == nullptr) {
        return;
    }
    QWidget* top = window->window();
    if (top->isVisible() && !top->isMinimized()) {
        top->activateWindow();
    }
}

void PlaceOverParent(QWidget* dialog) {
    QWidget* parent = dialog->parentWidget();
    if (parent == nullptr || dialog->testAttribute(Qt::WA_Moved)) {
        return;
    }
    // Its frame's centre on its parent's frame's centre, the frame taken as wide as the
    // parent's.
    const QWidget* over = parent->window();
    const QRect frame = over->frameGeometry();
    dialog->adjustSize();
    const QSize dialog_frame = dialog->size() + (frame.size() - over->size());
    dialog->move(frame.topLeft() + QPoint(frame.width() / 2, frame.height() / 2) -
                 QPoint(dialog_frame.width() / 2, dialog_frame.height() / 2));
}

}  // namespace vantor::ui
