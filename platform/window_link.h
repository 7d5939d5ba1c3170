// The window link: how the download job, running on its worker thread, reaches the displays of
// the front end that started it. Each call returns only after the front end has carried the
// change out, as the synchronous window messages of the design do.
#pragma once

#include <string>

#include "platform/result.h"

namespace vantor::platform {

// The displays that the job writes.
enum class Display { StatusLine, VersionLabel, RevisionLabel, FileNameLabel, AddressLabel };

const char* DisplayName(Display display);

// Window messages posted to the controlling program named on the command line.
inline constexpr int kProgramClosed = 1034;     // WM_USER + 10
inline constexpr int kDownloadFinished = 1035;  // WM_USER + 11

enum class MessageIcon { None, Information, Question, Stop };

class WindowLink {
  public:
    virtual ~WindowLink() = default;

    virtual void SetText(Display display, const std::string& text) = 0;
    // Reads a display's text back (the image download reads FileNameLabel).
    virtual std::string GetText(Display display) = 0;
    virtual void SetProgressRange(int low, int high) = 0;
    virtual void SetProgressPos(int pos) = 0;
    // A message box with no owner window: blocks the calling worker until the operator closes
    // it and leaves the main window usable.
    virtual void MessageBox(const std::string& text, const std::string& caption,
                            MessageIcon icon) = 0;
    // Posts `message` to the controlling program through the file descriptor `notify_fd` that
    // it handed down (the design's window to notify; 0: nobody). Never waits.
    virtual void Post(int notify_fd, int message) = 0;
    // Posts the quit message to the main window: the front end ends its run.
    virtual void PostQuit() = 0;
};

// The process-wide window link; a front end or test installs its own. Without one, a link that
// ignores everything is current, so a job can never write to a window that does not exist.
WindowLink& Window();
WindowLink* SetWindowLink(WindowLink* link);

class ScopedWindowLink {
  public:
    explicit ScopedWindowLink(WindowLink& link) : previous_(SetWindowLink(&link)) {}
    ~ScopedWindowLink() { SetWindowLink(previous_); }
    ScopedWindowLink(const ScopedWindowLink&) = delete;
    ScopedWindowLink& operator=(const ScopedWindowLink&) = delete;

  private:
    WindowLink* previous_;
};

// The status line: `text` alone when `number` is 0, else `text`, one blank and `number` in
// decimal.
std::string FormatStatus(const std::string& text, int number);
void ReportStatus(const std::string& text, int number);

// Writes `message` in decimal and a line feed to the file descriptor `fd` with one
// non-blocking write, as a post to the controlling program. 0 posts nothing. False when the
// line was not written whole (a full pipe, a reader gone, a closed descriptor), and `error`,
// when given, says why; the window ignores that, as a post to a window that is gone.
Result<void> PostToDescriptor(int fd, int message);

// Why the file descriptor `fd` cannot take posts (it names no open descriptor, or the system
// has no such posts); empty when it can, and for 0.
std::string NotifyDescriptorProblem(int fd);

}  // namespace vantor::platform
