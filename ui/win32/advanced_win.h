// The "Advanced options" dialog as a Win32 dialog: the files table in a list view, the
// addressing options, and the files list written back on OK.
#pragma once

#include "ui/win32/windows_api.h"

#include <string>

#include "ui/window_core.h"

namespace vantor::ui::win32 {

// Runs the dialog modally over `owner` for the files list at `list_path`; `options` come back
// as the dialog holds them at its end, after OK and Cancel alike.
void RunAdvancedDialog(HWND owner, const std::string& list_path, AdvancedOptions& options);

// The program file's name without its extension: the caption of boxes without one of their own.
std::string ApplicationName();

}  // namespace vantor::ui::win32
