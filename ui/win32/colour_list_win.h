// The coloured line list: an owner-drawn list box whose every line carries its own text and
// background colour from the palette, with tabs expanded at fixed stops.
#pragma once

#include "ui/win32/windows_api.h"

#include <string>

namespace vantor::ui::win32 {

// Appends a line; a text colour of 16 or more becomes black. When the list has no room, the
// oldest lines go (20 of them, or all but one of fewer) and the line is appended again.
void AddColourLine(HWND list, unsigned text_colour, int background, const std::string& text);
// Removes the lines after the first `keep`.
void KeepColourLines(HWND list, int keep);
// Draws one line as the list box asks (WM_DRAWITEM).
void DrawColourLine(const DRAWITEMSTRUCT& item);

}  // namespace vantor::ui::win32
