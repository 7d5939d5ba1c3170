#include "ui/win32/advanced_win.h"

#include <vector>

#include "image/files_list_io.h"
#include "ui/advanced_core.h"
#include "ui/win32/resource_ids.h"

namespace vantor::ui::win32 {

namespace {

struct AdvancedRun {
    std::string list_path;
    AdvancedOptions options;
    FilesTable table;
    std::vector<RefusedLine> bad_lines;
};

AdvancedRun& RunOf(HWND dialog) {
    return *reinterpret_cast<AdvancedRun*>(::GetWindowLongPtrA(dialog, DWLP_USER));
}

void Inform(HWND dialog, const std::string& text, const std::string& caption, UINT icon) {
    ::MessageBoxA(dialog, text.c_str(), caption.c_str(), MB_OK | icon);
}

bool AskYesNo(HWND dialog, const std::string& text, const char* caption, UINT style) {
    return ::MessageBoxA(dialog, text.c_str(), caption, MB_YESNO | style) == IDYES;
}

void ShowRows(HWND dialog) {
    HWND files = ::GetDlgItem(dialog, IDC_FILES);
    ListView_DeleteAllItems(files);
    int index = 0;
    for (const FilesListEntry& row : RunOf(dialog).table.Rows()) {
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = index;
        item.pszText = const_cast<char*>(row.Name.c_str());
        ::SendMessageA(files, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        item.iSubItem = 1;
        item.pszText = const_cast<char*>(row.Path.c_str());
        ::SendMessageA(files, LVM_SETITEMTEXTA, static_cast<WPARAM>(index),
                       reinterpret_cast<LPARAM>(&item));
        ++index;
    }
}

void LoadFilesList(HWND dialog) {
    AdvancedRun& run = RunOf(dialog);
    run.table.Clear();
    const LoadedFilesList loaded = LoadDialogFilesList(run.list_path);
    for (const FilesListEntry& entry : loaded.entries) {
        run.table.Insert(entry);
    }
    ShowRows(dialog);
    // Each box names its line, so that the operator can find and mend it, unless the file
    // changed between the two reads.
    run.bad_lines = RefusedLines(run.list_path);
    const bool named = static_cast<int>(run.bad_lines.size()) == loaded.bad_lines;
    for (int i = 0; i < loaded.bad_lines; ++i) {
        const std::string detail =
            named
                ? "\n\n" + BadLineDetail(run.list_path, run.bad_lines[static_cast<std::size_t>(i)])
                : std::string();
        Inform(dialog, kInvalidLineText + detail, kInvalidLineCaption, MB_ICONINFORMATION);
    }
    if (!named) {
        run.bad_lines.assign(static_cast<std::size_t>(loaded.bad_lines), RefusedLine{});
    }
}

void SetUpTable(HWND dialog) {
    HWND files = ::GetDlgItem(dialog, IDC_FILES);
    ListView_SetExtendedListViewStyle(files, LVS_EX_FULLROWSELECT);
    RECT client{};
    ::GetClientRect(files, &client);
    const int half_px = (client.right - client.left) / 2;
    const char* titles[] = {"File Name", "File Path"};
    for (int column = 0; column < 2; ++column) {
        LVCOLUMNA info{};
        info.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        info.fmt = LVCFMT_LEFT;
        info.cx = half_px;
        info.pszText = const_cast<char*>(titles[column]);
        ::SendMessageA(files, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column),
                       reinterpret_cast<LPARAM>(&info));
    }
}

void OnInitDialog(HWND dialog) {
    AdvancedRun& run = RunOf(dialog);
    run.options.SkipSeeking = ClampFlag(run.options.SkipSeeking);
    run.options.ResetAfterDownload = ClampFlag(run.options.ResetAfterDownload);
    run.options.UseSpecificAddress = ClampFlag(run.options.UseSpecificAddress);
    ::CheckDlgButton(dialog, IDC_SKIP_SEEKING, static_cast<UINT>(run.options.SkipSeeking));
    ::CheckDlgButton(dialog, IDC_RESET, static_cast<UINT>(run.options.ResetAfterDownload));
    ::CheckDlgButton(dialog, IDC_USE_ADDRESS, static_cast<UINT>(run.options.UseSpecificAddress));
    SetUpTable(dialog);
    LoadFilesList(dialog);
    HWND combo = ::GetDlgItem(dialog, IDC_ADDRESS_COMBO);
    ::SendMessageA(combo, CB_INITSTORAGE, kAddressCount, kAddressCount * 2);
    for (int address = 0; address < kAddressCount; ++address) {
        const std::string text = AddressItemText(address);
        ::SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    const int address = run.options.SpecificAddress;
    ::SendMessageA(combo, CB_SETCURSEL,
                   static_cast<WPARAM>(address >= 0 && address < kAddressCount ? address : -1), 0);
    ::EnableWindow(combo, run.options.UseSpecificAddress != 0);
}

void OnAdd(HWND dialog) {
    char filters[256] = {};
    ::LoadStringA(::GetModuleHandleA(nullptr), IDS_IMAGE_FILTERS, filters, sizeof(filters) - 1);
    for (char& c : filters) {
        c = c == '|' ? '\0' : c;
    }
    char chosen[MAX_PATH] = {};
    OPENFILENAMEA open{};
    open.lStructSize = sizeof(open);
    open.hwndOwner = dialog;
    open.lpstrFilter = filters;
    open.lpstrFile = chosen;
    open.nMaxFile = sizeof(chosen);
    open.lpstrTitle = kBrowseTitle;
    open.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (!::GetOpenFileNameA(&open)) {
        return;
    }
    const std::string path = chosen;
    const std::string name = path.substr(path.find_last_of("\\/") + 1);
    AdvancedRun& run = RunOf(dialog);
    const char* problem = run.table.HasName(name) ? kDuplicateText : LineProblem(name, path);
    if (problem != nullptr) {
        Inform(dialog, problem, ApplicationName(), 0);
        return;
    }
    run.table.Insert({name, path});
    ShowRows(dialog);
}

void OnDelete(HWND dialog) {
    HWND files = ::GetDlgItem(dialog, IDC_FILES);
    std::vector<int> selected;
    for (int row = ListView_GetNextItem(files, -1, LVNI_SELECTED); row >= 0;
         row = ListView_GetNextItem(files, row, LVNI_SELECTED)) {
        selected.push_back(row);
    }
    if (selected.empty()) {
        Inform(dialog, kNothingSelectedText, ApplicationName(), 0);
        return;
    }
    RunOf(dialog).table.Remove(selected);
    ShowRows(dialog);
}

// True when the list was saved, or when the operator chose to leave without saving it.
bool SaveOrAskToLeave(HWND dialog) {
    AdvancedRun& run = RunOf(dialog);
    if (!run.bad_lines.empty()) {
        if (!AskYesNo(dialog, DropBadLinesQuestion(run.list_path, run.bad_lines),
                      kInvalidLineCaption, MB_ICONWARNING | MB_DEFBUTTON2)) {
            return false;
        }
        run.bad_lines.clear();
    }
    const auto not_saved = SaveDialogFilesList(run.list_path, run.table.Rows());
    return !not_saved ||
           AskYesNo(dialog,
                    CannotWriteQuestion(FileErrorReason(not_saved->error_number, not_saved->path)),
                    kCannotWriteCaption, MB_ICONSTOP);
}

void OnOk(HWND dialog) {
    AdvancedRun& run = RunOf(dialog);
    if (run.table.Rows().empty() &&
        !AskYesNo(dialog, kNoFilesText, kNoFilesCaption, MB_ICONQUESTION)) {
        return;
    }
    if (!SaveOrAskToLeave(dialog)) {
        return;
    }
    run.options.SkipSeeking = static_cast<int>(::IsDlgButtonChecked(dialog, IDC_SKIP_SEEKING));
    run.options.ResetAfterDownload = static_cast<int>(::IsDlgButtonChecked(dialog, IDC_RESET));
    run.options.UseSpecificAddress =
        static_cast<int>(::IsDlgButtonChecked(dialog, IDC_USE_ADDRESS));
    run.options.SpecificAddress =
        static_cast<int>(::SendDlgItemMessageA(dialog, IDC_ADDRESS_COMBO, CB_GETCURSEL, 0, 0));
    ::EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK AdvancedProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(dialog, DWLP_USER, lparam);
        OnInitDialog(dialog);
        return TRUE;
    }
    if (message != WM_COMMAND) {
        return FALSE;
    }
    switch (LOWORD(wparam)) {
        case IDOK:
            OnOk(dialog);
            return TRUE;
        case IDCANCEL:
            ::EndDialog(dialog, IDCANCEL);
            return TRUE;
        case IDC_ADD:
            OnAdd(dialog);
            return TRUE;
        case IDC_DELETE:
            OnDelete(dialog);
            return TRUE;
        case IDC_USE_ADDRESS:
            ::EnableWindow(::GetDlgItem(dialog, IDC_ADDRESS_COMBO),
                           ::IsDlgButtonChecked(dialog, IDC_USE_ADDRESS) != BST_UNCHECKED);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

std::string ApplicationName() {
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, sizeof(path) - 1);
    std::string name = path;
    name = name.substr(name.find_last_of("\\/") + 1);
    return name.substr(0, name.rfind('.'));
}

void RunAdvancedDialog(HWND owner, const std::string& list_path, AdvancedOptions& options) {
    AdvancedRun run{list_path, options, {}, {}};
    ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ADVANCED), owner,
                      &AdvancedProc, reinterpret_cast<LPARAM>(&run));
    options = run.options;
}

}  // namespace vantor::ui::win32
