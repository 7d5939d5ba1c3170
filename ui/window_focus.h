// Giving the keyboard focus back to a window when a box or dialog over it closes.
#pragma once

#include <QWidget>

namespace vantor::ui {

// On a bare X server no window manager hands the focus on when a box or dialog closes: it would
// stay with the root window, and the window's Alt keys would do nothing. `window` takes it back
// when it is still on the screen.
void GiveFocusBack(QWidget* window);

// Places `dialog` centred over `parent`'s window before it is first shown, as Qt would when it
// shows it, so that a box opened over it while it initialises (the files list's bad lines)
// is centred over it rather than over the corner of the screen where a new window starts.
void PlaceOverParent(QWidget* dialog);

}  // namespace vantor::ui
