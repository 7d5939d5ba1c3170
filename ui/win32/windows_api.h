// The Windows headers that the window's Win32 face uses, in the order they need.
#pragma once

// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
// clang-format on

// The window link's MessageBox is its own operation, not the system's ANSI or wide function:
// the face calls MessageBoxA by that name.
#undef MessageBox
