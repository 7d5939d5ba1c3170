#include "ui/win32/main_window_win.h"

#include "ui/job_words.h"
#include "ui/win32/advanced_win.h"
#include "ui/win32/colour_list_win.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/win32_carrier.h"

namespace vantor::ui::win32 {

namespace {

// Shows the box that says why the settings store cannot be used, once the window is up.
constexpr UINT kStoreProblemMessage = WM_APP + 3;

int ControlOf(platform::Display display) {
    switch (display) {
        case platform::Display::StatusLine:
            return IDC_STATUS;
        case platform::Display::VersionLabel:
            return IDC_VERSION;
        case platform::Display::RevisionLabel:
            return IDC_REVISION;
        case platform::Display::FileNameLabel:
            return IDC_FILE_NAME;
        case platform::Display::AddressLabel:
            break;
    }
    return IDC_ADDRESS;
}

// `text` cut into lines no wider than the list `list`, at blanks where it can be.
std::vector<std::string> WrapForList(HWND list, const std::string& text) {
    RECT client{};
    ::GetClientRect(list, &client);
    const int width_px = client.right - client.left - 4;
    HDC dc = ::GetDC(list);
    HGDIOBJ old =
        ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageA(list, WM_GETFONT, 0, 0)));
    const auto fits = [&](const std::string& line) {
        SIZE size{};
        ::GetTextExtentPoint32A(dc, line.c_str(), static_cast<int>(line.size()), &size);
        return size.cx <= width_px;
    };
    std::vector<std::string> lines;
    std::string line;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        const std::string word = text.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        const std::string joined = line.empty() ? word : line + " " + word;
        if (line.empty() || fits(joined)) {
            line = joined;
        } else {
            lines.push_back(line);
            line = word;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    ::SelectObject(dc, old);
    ::ReleaseDC(list, dc);
    return lines;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        ::SendDlgItemMessageA(dialog, IDC_ABOUT_ICON, STM_SETICON,
                              reinterpret_cast<WPARAM>(::LoadIconA(nullptr, IDI_APPLICATION)), 0);
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        ::EndDialog(dialog, LOWORD(wparam));
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK StopQuestionProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        ::SetWindowTextA(dialog, ApplicationName().c_str());
        ::SetDlgItemTextA(dialog, IDC_STOP_TEXT, kStopQuestionText);
        ::SetDlgItemTextA(dialog, IDC_STOP_DETAIL, kStopQuestionDetail);
        return TRUE;
    }
    // Enter, Escape and the close box all keep the download going.
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        ::EndDialog(dialog, LOWORD(wparam));
        return TRUE;
    }
    return FALSE;
}

}  // namespace

void MainWindow::DoModal() {
    ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                      &MainWindow::DialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainWindow::DialogProc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_INITDIALOG) {
        ::SetWindowLongPtrA(dialog, DWLP_USER, lparam);
        reinterpret_cast<MainWindow*>(lparam)->dialog_ = dialog;
    }
    auto* window = reinterpret_cast<MainWindow*>(::GetWindowLongPtrA(dialog, DWLP_USER));
    return window != nullptr ? window->Handle(message, wparam, lparam) : FALSE;
}

INT_PTR MainWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            OnInitDialog();
            return TRUE;  // the focus goes to the first tab stop, Com1
        case WM_COMMAND:
            OnCommand(LOWORD(wparam));
            return TRUE;
        case WM_SYSCOMMAND:
            if ((wparam & 0xFFF0) == ID_SYSMENU_ABOUT) {
                ShowAboutBox();
                return TRUE;
            }
            return FALSE;
        case WM_DRAWITEM:
            if (wparam == IDC_INSTRUCTIONS) {
                DrawColourLine(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
                return TRUE;
            }
            return FALSE;
        case kCarryMessage:
            ::SetWindowLongPtrA(dialog_, DWLP_MSGRESULT,
                                Win32Carrier::Instance().RunCarried(wparam, lparam));
            return TRUE;
        case kQuitMessage:
            EndByQuit();
            return TRUE;
        case kStoreProblemMessage:
            ::MessageBoxA(dialog_, core_.StoreProblemText().c_str(), ApplicationName().c_str(),
                          MB_OK | MB_ICONWARNING);
            return TRUE;
        default:
            return FALSE;
    }
}

void MainWindow::OnInitDialog() {
    HMENU system_menu = ::GetSystemMenu(dialog_, FALSE);
    char about[64] = {};
    if (system_menu != nullptr &&
        ::LoadStringA(::GetModuleHandleA(nullptr), IDS_ABOUT_MENU, about, sizeof(about)) > 0) {
        ::AppendMenuA(system_menu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuA(system_menu, MF_STRING, ID_SYSMENU_ABOUT, about);
    }
    HICON icon = ::LoadIconA(nullptr, IDI_APPLICATION);
    ::SendMessageA(dialog_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageA(dialog_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    HWND list = ::GetDlgItem(dialog_, IDC_INSTRUCTIONS);
    for (const InstructionLine& line : kInstructionLines) {
        AddColourLine(list, static_cast<unsigned>(line.text_colour), kWhiteIndex, line.text);
    }
    ::SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_SETRANGE32, 0, 100);
    const std::uint64_t attachment = Win32Carrier::Instance().Attach(dialog_, &core_);
    core_.SetWorkerLink(&Win32Carrier::Instance(),
                        [attachment] { Win32Carrier::BindThisThread(attachment); });
    core_.OnInitDialog();
    if (!core_.StoreProblem().empty()) {
        // Over the window once it is on the screen, not before it shows.
        ::PostMessageA(dialog_, kStoreProblemMessage, 0, 0);
    }
}

void MainWindow::OnCommand(int id) {
    if (id >= IDC_COM1 && id <= IDC_COM4) {
        core_.OnPortButton(id - IDC_COM1);
    } else if (id == IDC_BAUD_9600 || id == IDC_BAUD_19200) {
        core_.OnBaudButton(id - IDC_BAUD_9600);
    } else if (id == IDC_START) {
        Start();
    } else if (id == IDC_ADVANCED) {
        Advanced();
    } else if (id == IDOK) {
        Accept();
    } else if (id == IDCANCEL) {
        Reject();
    }
}

int MainWindow::CheckedButton(int first, int count) const {
    for (int i = 0; i < count; ++i) {
        if (::IsDlgButtonChecked(dialog_, first + i) == BST_CHECKED) {
            return i;
        }
    }
    return -1;
}

void MainWindow::Start() {
    core_.Start(CheckedButton(IDC_COM1, 4), CheckedButton(IDC_BAUD_9600, 2));
}

void MainWindow::Advanced() {
    AdvancedOptions options = core_.AdvancedOptionsNow();
    RunAdvancedDialog(dialog_, core_.Host().Options.FilesListPath, options);
    if (!ended_) {
        core_.TakeBackAdvanced(options);
    }
}

void MainWindow::ShowAboutBox() {
    ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUT), dialog_, &AboutProc,
                      0);
}

void MainWindow::Accept() {
    // Enter on an option button must not end the program, and the drive with it, half-way
    // through an image.
    if (!core_.MayEndByOk()) {
        return;
    }
    JobOptions& options = core_.Host().Options;
    options.PortIndex = CheckedButton(IDC_COM1, 4);
    options.BaudChoice = CheckedButton(IDC_BAUD_9600, 2);
    // The program ends here as by Exit, so the controlling program hears of it the same way.
    core_.PostProgramClosed();
    End(IDOK);
}

void MainWindow::Reject() {
    if (core_.Closing()) {
        return;  // a second close while the first one asks or waits
    }
    if (core_.JobIsRunning()) {
        core_.SetClosing(true);
        const bool stop = AskToStopTheJob();
        if (stop && !ended_) {
            StopTheJob();
        }
        core_.SetClosing(false);
        if (!stop || ended_) {
            return;  // kept downloading, or the job's quit ended the window meanwhile
        }
    }
    core_.PostProgramClosed();
    End(IDCANCEL);
}

bool MainWindow::AskToStopTheJob() {
    return ::DialogBoxParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_STOP_QUESTION),
                             dialog_, &StopQuestionProc, 0) == IDOK;
}

void MainWindow::StopTheJob() {
    core_.RequestStop();
    // A box of the job that waits for the operator would hold the worker from that point.
    Win32Carrier::Instance().CloseWorkerBoxes();
    const bool finished = WaitCarrying([this] { return core_.JobRecorded() || ended_; },
                                       std::chrono::seconds(kStopBoundSeconds));
    if (ended_) {
        return;
    }
    const std::string text = core_.StoppedText(finished && core_.JobRecorded());
    if (!text.empty()) {
        core_.ShowJobNote(text);
        ::MessageBoxA(dialog_, text.c_str(), ApplicationName().c_str(), MB_OK | MB_ICONINFORMATION);
    }
}

void MainWindow::End(INT_PTR result) {
    if (ended_) {
        return;
    }
    ended_ = true;
    Win32Carrier::Instance().Detach();
    ::EndDialog(dialog_, result);
}

void MainWindow::EndByQuit() {
    End(-1);
    // As the platform's quit message: every modal loop open over the window ends too.
    ::PostQuitMessage(0);
}

void MainWindow::ShowChoices(int port_index, int baud_choice) {
    for (int i = 0; i < 4; ++i) {
        ::CheckDlgButton(dialog_, IDC_COM1 + i, i == port_index ? BST_CHECKED : BST_UNCHECKED);
    }
    for (int i = 0; i < 2; ++i) {
        ::CheckDlgButton(dialog_, IDC_BAUD_9600 + i,
                         i == baud_choice ? BST_CHECKED : BST_UNCHECKED);
    }
}

void MainWindow::ShowDisplay(platform::Display display, const std::string& text) {
    ::SetDlgItemTextA(dialog_, ControlOf(display), text.c_str());
}

void MainWindow::ShowProgress(int low, int high, int pos) {
    ::SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_SETRANGE32, static_cast<WPARAM>(low), high);
    ::SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void MainWindow::ShowProgressText(const std::string&) {
    // The system's progress bar carries no text; the design's status line says the stage.
}

void MainWindow::ShowCause(const std::string& cause) {
    HWND list = ::GetDlgItem(dialog_, IDC_INSTRUCTIONS);
    KeepColourLines(list, static_cast<int>(kInstructionLines.size()));
    for (const std::string& line : WrapForList(list, cause)) {
        AddColourLine(list, kRedIndex, kWhiteIndex, line);
    }
    if (!cause.empty()) {
        ::SendMessageA(list, LB_SETTOPINDEX,
                       static_cast<WPARAM>(::SendMessageA(list, LB_GETCOUNT, 0, 0) - 1), 0);
    }
}

void MainWindow::ShowPlannedPaths(const std::vector<std::string>&) {
    // The file name display shows the names; the Win32 face offers no tip with their paths.
}

}  // namespace vantor::ui::win32
