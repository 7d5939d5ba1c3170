#include "ui/screen_fit.h"

#include <QDialog>
#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>
#include <vector>

namespace vantor::ui {

namespace {

// What the window manager's frame may take: a title bar and borders.
constexpr int kFrameAllowancePx = 40;

}  // namespace

QSize RoomOnScreen(const QDialog* dialog) {
    const QScreen* screen =
        dialog->screen() != nullptr ? dialog->screen() : QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return dialog->size();
    }
    const QSize available = screen->availableGeometry().size();
    return {available.width() - kFrameAllowancePx / 2, available.height() - kFrameAllowancePx};
}

void FitInto(QDialog* dialog, QSize room) {
    const QSize full = dialog->size();
    if (full.width() <= room.width() && full.height() <= room.height()) {
        return;
    }
    auto* content = new QWidget;
    content->setFixedSize(full);
    content->setFont(dialog->font());
    std::vector<QWidget*> controls;
    for (QObject* child : dialog->children()) {
        auto* widget = qobject_cast<QWidget*>(child);
        if (widget != nullptr && !widget->isWindow()) {
            controls.push_back(widget);
        }
    }
    // In their order, so that the focus chain keeps the template's order.
    for (QWidget* control : controls) {
        const bool hidden_on_purpose =
            control->testAttribute(Qt::WA_WState_ExplicitShowHide) && control->isHidden();
        const QRect place = control->geometry();
        control->setParent(content);
        control->setGeometry(place);
        control->setVisible(!hidden_on_purpose);
    }
    auto* area = new QScrollArea(dialog);
    area->setObjectName(QStringLiteral("FittedArea"));
    area->setFrameShape(QFrame::NoFrame);
    area->setWidget(content);
    auto* layout = new QVBoxLayout(dialog);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(area);
    dialog->setMinimumSize(0, 0);
    dialog->setMaximumSize(full);
    dialog->resize(full.boundedTo(room));
}

}  // namespace vantor::ui
