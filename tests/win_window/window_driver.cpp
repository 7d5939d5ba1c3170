// Drives vantor.exe as an operator would, by window messages alone: finds its dialogs, clicks
// their buttons, presses Enter and Escape, reads the status line and the labels, answers the
// header check's box and the question before a download is stopped, edits the files list in
// Advanced, and checks what a controlling window is posted. Every drive is the simulated one:
// the store that vantor.exe reads maps COM1 to COM4 to `sim` (COM2 to a drive of another
// hardware revision). Screenshots of each dialog go into the artefacts folder.
//
// window_driver VANTOR_EXE DEMO_IMAGE WORK_FOLDER ARTEFACTS_FOLDER
#include <windows.h>
// After windows.h, whose types it uses.
#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace {

constexpr UINT kProgramClosed = WM_USER + 10;
constexpr UINT kDownloadFinished = WM_USER + 11;
constexpr const char* kMainCaption = "Vantor KDX v2.0.7";
// Real time: a download of the demo image by the simulated drive, seeking included, takes
// seconds; only a hang reaches these.
constexpr DWORD kWindowBoundMs = 30000;
constexpr DWORD kJobBoundMs = 120000;

std::vector<UINT> g_posted;
std::string g_artefacts;
int g_failures = 0;

void Check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok) {
        ++g_failures;
    }
}

LRESULT CALLBACK ControllerProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == kProgramClosed || message == kDownloadFinished) {
        g_posted.push_back(message);
        return 0;
    }
    return ::DefWindowProcA(window, message, wparam, lparam);
}

// Handles the controller's posts while waiting for `done`, up to `bound_ms`; whether it held.
bool Await(const std::function<bool()>& done, DWORD bound_ms) {
    const ULONGLONG deadline = ::GetTickCount64() + bound_ms;
    while (!done()) {
        if (::GetTickCount64() > deadline) {
            return false;
        }
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageA(&message);
        }
        ::Sleep(20);
    }
    return true;
}

std::string TextOf(HWND window) {
    char text[1024] = {};
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 2000, &ignored);
    return text;
}

struct Found {
    DWORD process;
    std::string caption;
    int control;  // a control the window must hold; 0: any
    HWND window;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM lparam) {
    auto& found = *reinterpret_cast<Found*>(lparam);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == found.process && ::IsWindowVisible(window) && TextOf(window) == found.caption &&
        (found.control == 0 || ::GetDlgItem(window, found.control) != nullptr)) {
        found.window = window;
        return FALSE;
    }
    return TRUE;
}

HWND FindProcessWindow(DWORD process, const std::string& caption, int control = 0) {
    Found found{process, caption, control, nullptr};
    Await(
        [&] {
            ::EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&found));
            return found.window != nullptr;
        },
        kWindowBoundMs);
    return found.window;
}

// The window as it stands on the screen, as a 24-bit BMP file in the artefacts folder.
void Screenshot(HWND window, const std::string& name) {
    ::Sleep(500);  // the window paints after it shows; the picture is for a person, not a check
    RECT rect{};
    ::GetWindowRect(window, &rect);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    ::SelectObject(memory, old);
    const DWORD row_bytes = ((static_cast<DWORD>(width) * 3 + 3) / 4) * 4;
    const DWORD image_bytes = row_bytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{0x4D42, 0, 0, 0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    file.bfSize = file.bfOffBits + image_bytes;
    std::ofstream out(g_artefacts + "\\" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof(file));
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
    out.write(static_cast<const char*>(bits), image_bytes);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    Check(out.good(), "screenshot " + name);
}

void Click(HWND dialog, int control) {
    // Posted, as a click is: a button that opens a modal dialog does not return meanwhile.
    ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, control)));
}

// A key pressed while `control` of `dialog` has the focus: the dialog's own loop turns Enter
// and Escape into its OK and cancel commands.
void PressKey(HWND dialog, int control, WPARAM key) {
    HWND target = ::GetDlgItem(dialog, control);
    ::PostMessageA(target, WM_KEYDOWN, key, 1);
    ::PostMessageA(target, WM_KEYUP, key, 0xC0000001);
}

std::string Status(HWND dialog) {
    return TextOf(::GetDlgItem(dialog, 1002));
}

}  // namespace

namespace {

struct Program {
    PROCESS_INFORMATION info{};
    HWND dialog = nullptr;

    bool Ended(DWORD bound_ms) const {
        return Await([&] { return ::WaitForSingleObject(info.hProcess, 0) == WAIT_OBJECT_0; },
                     bound_ms);
    }
};

std::string g_vantor;

Program Launch(const std::string& arguments) {
    Program program;
    std::string command = "\"" + g_vantor + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    if (!::CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &program.info)) {
        Check(false, "start " + command);
        return program;
    }
    program.dialog = FindProcessWindow(program.info.dwProcessId, kMainCaption, 1012);
    Check(program.dialog != nullptr, "the main window of: vantor.exe " + arguments);
    return program;
}

void Close(Program& program) {
    if (!program.Ended(kWindowBoundMs)) {
        Check(false, "vantor.exe ended");
        ::TerminateProcess(program.info.hProcess, 1);
    }
    ::CloseHandle(program.info.hThread);
    ::CloseHandle(program.info.hProcess);
}

// Follows the status line until `wanted` shows or the program ends; every text seen, in order,
// goes into `seen`.
void FollowStatus(Program& program, const std::string& wanted, std::vector<std::string>& seen) {
    Await(
        [&] {
            if (!::IsWindow(program.dialog)) {
                return true;
            }
            const std::string status = Status(program.dialog);
            if (seen.empty() || seen.back() != status) {
                seen.push_back(status);
            }
            return status.rfind(wanted, 0) == 0;
        },
        kJobBoundMs);
}

bool Saw(const std::vector<std::string>& seen, const std::string& text) {
    for (const std::string& status : seen) {
        if (status == text) {
            return true;
        }
    }
    return false;
}

// The demo image to the simulated drive on COM1: Enter during the download changes nothing,
// "Download successful" shows, the controlling window gets DownloadFinished, the program ends.
void SingleImageDownload(HWND controller, const std::string& image) {
    g_posted.clear();
    Program program = Launch("\"" + image + "\" -c COM1 -m " +
                             std::to_string(reinterpret_cast<INT_PTR>(controller)));
    if (program.dialog == nullptr) {
        return;
    }
    Check(TextOf(::GetDlgItem(program.dialog, 1025)) == "demo.orb",
          "the file name display names the image before Start");
    Check(::IsDlgButtonChecked(program.dialog, 1003) == BST_CHECKED, "Com1 is checked");
    Screenshot(program.dialog, "main_window.bmp");
    Click(program.dialog, 1012);
    std::vector<std::string> seen;
    FollowStatus(program, "Downloading packet", seen);
    PressKey(program.dialog, 1003, VK_RETURN);
    FollowStatus(program, "Download successful", seen);
    Check(Saw(seen, "Seeking drives..."), "the status line said \"Seeking drives...\"");
    Check(Saw(seen, "Download successful"),
          "the status line said \"Download successful\" before the window ended");
    Close(program);
    Await([] { return !g_posted.empty(); }, 2000);
    Check(g_posted == std::vector<UINT>{kDownloadFinished},
          "the controlling window got DownloadFinished (1035) alone");
}

// COM2's drive is of another hardware revision: the header box asks, the driver answers it,
// the window stays with the failure on its status line; Escape then ends it with ProgramClosed.
void WrongRevisionImage(HWND controller, const std::string& image) {
    g_posted.clear();
    Program program = Launch("\"" + image + "\" -c COM2 -m " +
                             std::to_string(reinterpret_cast<INT_PTR>(controller)));
    if (program.dialog == nullptr) {
        return;
    }
    Click(program.dialog, 1012);
    HWND box = FindProcessWindow(program.info.dwProcessId, "Orrim file error");
    Check(box != nullptr, "the header check's box \"Orrim file error\" shows");
    if (box != nullptr) {
        Screenshot(box, "header_box.bmp");
        ::PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    std::vector<std::string> seen;
    FollowStatus(program, "ERROR: Download failed.", seen);
    Check(Saw(seen, "ERROR: Download failed."), "the status line says \"ERROR: Download failed.\"");
    Check(::IsWindow(program.dialog) != FALSE, "the window stays open after the failure");
    // COM2's drive identifies as 0x3083: boot loader 2.3, hardware revision 3.
    Check(TextOf(::GetDlgItem(program.dialog, 1014)) == "2.3", "the version label shows 2.3");
    Check(TextOf(::GetDlgItem(program.dialog, 1030)).find("3") != std::string::npos,
          "the revision label shows revision 3: " + TextOf(::GetDlgItem(program.dialog, 1030)));
    // The About box, from the system menu's own entry.
    ::PostMessageA(program.dialog, WM_SYSCOMMAND, 16, 0);
    HWND about = FindProcessWindow(program.info.dwProcessId, "About WinVantor");
    Check(about != nullptr, "the system menu's entry opens \"About WinVantor\"");
    if (about != nullptr) {
        Screenshot(about, "about.bmp");
        ::PostMessageA(about, WM_COMMAND, IDOK, 0);
        Await([&] { return !::IsWindow(about); }, kWindowBoundMs);
    }
    PressKey(program.dialog, 1003, VK_ESCAPE);
    Close(program);
    Await([] { return !g_posted.empty(); }, 2000);
    Check(g_posted == std::vector<UINT>{kProgramClosed}, "Escape posted ProgramClosed (1034)");
}

// Escape during a download asks first; "Stop and close" stops the job, says where it left the
// drive, and the window ends with ProgramClosed.
void EscapeDuringADownload(HWND controller, const std::string& image) {
    g_posted.clear();
    Program program = Launch("\"" + image + "\" -c COM1 -m " +
                             std::to_string(reinterpret_cast<INT_PTR>(controller)));
    if (program.dialog == nullptr) {
        return;
    }
    Click(program.dialog, 1012);
    std::vector<std::string> seen;
    FollowStatus(program, "Downloading packet", seen);
    PressKey(program.dialog, 1003, VK_ESCAPE);
    HWND question = FindProcessWindow(program.info.dwProcessId, "vantor", 1041);
    Check(question != nullptr, "Escape during the download asks before it stops");
    if (question != nullptr) {
        Screenshot(question, "stop_question.bmp");
        Click(question, IDOK);  // "Stop and close"
        // The question's box may still be on the screen for a moment, with the same caption.
        Await([&] { return !::IsWindow(question) || !::IsWindowVisible(question); },
              kWindowBoundMs);
    }
    HWND told = FindProcessWindow(program.info.dwProcessId, "vantor");
    Check(told != nullptr && told != question, "the window says where the stop left the drive");
    if (told != nullptr) {
        ::PostMessageA(told, WM_COMMAND, IDOK, 0);
    }
    Close(program);
    Await([] { return !g_posted.empty(); }, 2000);
    Check(g_posted == std::vector<UINT>{kProgramClosed}, "the stop posted ProgramClosed (1034)");
}

// Selects row `row` of the list view `list` in another process: the item record must lie in
// that process's memory.
void SelectRow(HANDLE process, HWND list, int row) {
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    void* remote = ::VirtualAllocEx(process, nullptr, sizeof(item), MEM_COMMIT, PAGE_READWRITE);
    ::WriteProcessMemory(process, remote, &item, sizeof(item), nullptr);
    ::SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row),
                   reinterpret_cast<LPARAM>(remote));
    ::VirtualFreeEx(process, remote, 0, MEM_RELEASE);
}

int LineCount(const std::string& path) {
    std::ifstream in(path);
    int lines = 0;
    for (std::string line; std::getline(in, line);) {
        ++lines;
    }
    return lines;
}

// Advanced shows the files list; Delete without a row asks for one; a row deleted and OK write
// the list with the other row; Exit then posts ProgramClosed.
void AdvancedEditsTheFilesList(HWND controller, const std::string& list_path) {
    g_posted.clear();
    Program program = Launch("-c COM1 -m " + std::to_string(reinterpret_cast<INT_PTR>(controller)));
    if (program.dialog == nullptr) {
        return;
    }
    Click(program.dialog, 1009);
    HWND advanced = FindProcessWindow(program.info.dwProcessId, "Advanced options", 1024);
    Check(advanced != nullptr, "Advanced opens \"Advanced options\"");
    if (advanced == nullptr) {
        Close(program);
        return;
    }
    HWND files = ::GetDlgItem(advanced, 1024);
    Check(::SendMessageA(files, LVM_GETITEMCOUNT, 0, 0) == 2, "the table shows the list's 2 rows");
    Screenshot(advanced, "advanced.bmp");
    Click(advanced, 1016);
    HWND nothing = FindProcessWindow(program.info.dwProcessId, "vantor");
    Check(nothing != nullptr && nothing != program.dialog,
          "Delete without a row asks for one (\"You must select something to delete.\")");
    if (nothing != nullptr) {
        ::PostMessageA(nothing, WM_COMMAND, IDOK, 0);
        Await([&] { return !::IsWindow(nothing); }, kWindowBoundMs);
    }
    SelectRow(program.info.hProcess, files, 0);
    Click(advanced, 1016);
    Await([&] { return ::SendMessageA(files, LVM_GETITEMCOUNT, 0, 0) == 1; }, kWindowBoundMs);
    Click(advanced, IDOK);
    Await([&] { return !::IsWindow(advanced); }, kWindowBoundMs);
    Check(LineCount(list_path) == 1, "OK wrote the files list with the row left");
    Click(program.dialog, IDCANCEL);
    Close(program);
    Await([] { return !g_posted.empty(); }, 2000);
    Check(g_posted == std::vector<UINT>{kProgramClosed}, "Exit posted ProgramClosed (1034)");
}

// The store that vantor.exe reads: every port a simulated drive, COM2's of another hardware
// revision than the demo image is for; the files list in the work folder with two images.
std::string PrepareStore(const std::string& work, const std::string& image) {
    const std::string store = work + "\\registry";
    const std::string list = work + "\\flist.txt";
    ::DeleteFileA(store.c_str());
    ::SetEnvironmentVariableA("VANTOR_REGISTRY", store.c_str());
    ::SetEnvironmentVariableA("APPDATA", work.c_str());
    const vantor::platform::Registry registry(store);
    auto ports = registry.CreateKey("SOFTWARE\\Halvren\\Vantor\\Ports");
    const char* devices[] = {"sim", "sim:ident=0x3083", "sim", "sim"};
    for (int i = 0; i < 4; ++i) {
        registry.SetValue(*ports, "COM" + std::to_string(i + 1), devices[i]);
    }
    auto settings = registry.CreateKey("SOFTWARE\\Halvren\\Vantor");
    registry.SetValue(*settings, "FilePath", list);
    std::ofstream(list) << "demo.orb    " << image << "\nother.orb    " << image << "\n";
    return list;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: window_driver VANTOR_EXE DEMO_IMAGE WORK ARTEFACTS\n");
        return 2;
    }
    g_vantor = argv[1];
    const std::string image = argv[2];
    g_artefacts = argv[4];
    const std::string list = PrepareStore(argv[3], image);

    WNDCLASSA controller_class{};
    controller_class.lpfnWndProc = &ControllerProc;
    controller_class.hInstance = ::GetModuleHandleA(nullptr);
    controller_class.lpszClassName = "VantorController";
    ::RegisterClassA(&controller_class);
    HWND controller = ::CreateWindowA("VantorController", "controller", 0, 0, 0, 0, 0, nullptr,
                                      nullptr, controller_class.hInstance, nullptr);

    SingleImageDownload(controller, image);
    WrongRevisionImage(controller, image);
    EscapeDuringADownload(controller, image);
    AdvancedEditsTheFilesList(controller, list);
    std::printf("%d failures\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
