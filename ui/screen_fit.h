// Dialogs laid out at their templates' positions keep their size whatever the screen: on a
// small screen, or a large scale factor, their right and lower parts (Exit, OK, Cancel) would be
// out of reach. Such a dialog's controls move into a scrolled area no larger than the room the
// screen leaves, where they keep their positions.
#pragma once

#include <QSize>

class QDialog;

namespace vantor::ui {

// The room that `dialog`'s screen leaves for it: the available area less a frame's allowance.
QSize RoomOnScreen(const QDialog* dialog);

// When `dialog`'s fixed size is larger than `room`, moves its controls into a scrolled area
// that fits `room`; otherwise leaves it as it is. Call once, after the controls are made.
void FitInto(QDialog* dialog, QSize room);

}  // namespace vantor::ui
