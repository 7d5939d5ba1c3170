#include "ui/win32/colour_list_win.h"

#include <algorithm>
#include <array>
#include <vector>

#include "ui/window_core.h"

namespace vantor::ui::win32 {

namespace {

constexpr int kTabStops = 100;
constexpr int kTabWidthChars = 8;
constexpr int kOldestLinesDropped = 20;

COLORREF PaletteRef(int index) {
    const PaletteColour& colour = kPalette[static_cast<std::size_t>(index & 0x0F)];
    return RGB(colour.red, colour.green, colour.blue);
}

std::string StoredLine(unsigned text_colour, int background, const std::string& text) {
    if (text_colour >= static_cast<unsigned>(kPaletteColours)) {
        text_colour = 0;
    }
    std::string line;
    line += static_cast<char>(text_colour + 1);
    line += static_cast<char>(background + 1);
    return line + text;
}

// The widest line so far, for the horizontal scroll extent; it only grows.
int g_widest_px = 0;

}  // namespace

void AddColourLine(HWND list, unsigned text_colour, int background, const std::string& text) {
    if (list == nullptr) {
        return;
    }
    const std::string line = StoredLine(text_colour, background, text);
    LRESULT added = ::SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    if (added == LB_ERRSPACE || added == LB_ERR) {
        const LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0);
        if (count == LB_ERR || count < 2) {
            return;  // the line is lost
        }
        const int dropped =
            count >= kOldestLinesDropped ? kOldestLinesDropped : static_cast<int>(count) - 1;
        ::SendMessageA(list, WM_SETREDRAW, FALSE, 0);
        for (int i = 0; i < dropped; ++i) {
            ::SendMessageA(list, LB_DELETESTRING, 0, 0);
        }
        ::SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
        ::SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    }
    ::SendMessageA(list, LB_SETCURSEL, static_cast<WPARAM>(-1), 0);
}

void KeepColourLines(HWND list, int keep) {
    for (LRESULT count = ::SendMessageA(list, LB_GETCOUNT, 0, 0); count > keep; --count) {
        ::SendMessageA(list, LB_DELETESTRING, static_cast<WPARAM>(count - 1), 0);
    }
}

void DrawColourLine(const DRAWITEMSTRUCT& item) {
    SIZE c_size{};
    ::GetTextExtentPoint32A(item.hDC, "c", 1, &c_size);
    std::array<INT, kTabStops> stops{};
    for (int k = 0; k < kTabStops; ++k) {
        stops[static_cast<std::size_t>(k)] = (k + 1) * kTabWidthChars * c_size.cx;
    }
    const bool focus_change = (item.itemAction & ODA_FOCUS) != 0;
    if (item.itemID == static_cast<UINT>(-1)) {
        if (focus_change) {
            ::DrawFocusRect(item.hDC, &item.rcItem);
        }
        return;
    }
    const LRESULT length = ::SendMessageA(item.hwndItem, LB_GETTEXTLEN, item.itemID, 0);
    if ((item.itemAction & (ODA_DRAWENTIRE | ODA_SELECT)) != 0 && length >= 2) {
        std::vector<char> stored(static_cast<std::size_t>(length) + 10, '\0');
        ::SendMessageA(item.hwndItem, LB_GETTEXT, item.itemID,
                       reinterpret_cast<LPARAM>(stored.data()));
        const bool selected = (item.itemState & ODS_SELECTED) != 0;
        const COLORREF text = selected ? ::GetSysColor(COLOR_HIGHLIGHTTEXT)
                                       : PaletteRef(static_cast<signed char>(stored[0]) - 1);
        const COLORREF back = selected ? ::GetSysColor(COLOR_HIGHLIGHT)
                                       : PaletteRef(static_cast<signed char>(stored[1]) - 1);
        HBRUSH brush = ::CreateSolidBrush(back);
        ::FillRect(item.hDC, &item.rcItem, brush);
        ::DeleteObject(brush);
        ::SetTextColor(item.hDC, text);
        ::SetBkColor(item.hDC, back);
        const int text_length = static_cast<int>(length) - 2;
        ::TabbedTextOutA(item.hDC, item.rcItem.left, item.rcItem.top, stored.data() + 2,
                         text_length, kTabStops, stops.data(), 0);
        SIZE plain{};
        ::GetTextExtentPoint32A(item.hDC, stored.data() + 2, text_length, &plain);
        const int width_px = plain.cx + ::GetSystemMetrics(SM_CXVSCROLL);
        if (width_px > g_widest_px) {
            g_widest_px = width_px;
            ::SendMessageA(item.hwndItem, LB_SETHORIZONTALEXTENT,
                           static_cast<WPARAM>(g_widest_px + g_widest_px / 32), 0);
        }
    }
    if (focus_change ||
        ((item.itemAction & ODA_DRAWENTIRE) != 0 && (item.itemState & ODS_FOCUS) != 0)) {
        ::DrawFocusRect(item.hDC, &item.rcItem);
    }
}

}  // namespace vantor::ui::win32
