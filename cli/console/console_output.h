// The console output of a run: every display change of the job becomes output (it implements the
// job's display interface, platform::WindowLink, where the window has its labels and boxes). On a
// terminal the stage, a bar, the packet count, the rate and the time left share one redrawn line
// (live_line.h), and a closing line gives the bytes, the time and the average rate; otherwise
// each status text is a line of its own (on a terminal that cannot redraw, the packets' at each
// tenth, with their numbers); with --json every change is one JSON object per
// line; with --quiet nothing but the result and the errors is shown.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "cli/console/live_line.h"
#include "platform/result.h"
#include "platform/window_link.h"
#include "records/json_writer.h"

namespace vantor::cli {

enum class OutputMode { Terminal, Plain, Json, Quiet };

// The mode that --json or --quiet asks for; otherwise a terminal's live display when standard
// output is one, else plain lines.
OutputMode ChooseOutputMode(bool json, bool quiet);

class ConsoleOutput final : public platform::WindowLink {
  public:
    // `bytes_sent` counts the bytes the host has written to the line (for the rate); `out`
    // takes the regular output, `err` the message boxes and the errors.
    ConsoleOutput(OutputMode mode, std::FILE* out, std::FILE* err,
                  const std::atomic<std::uint64_t>* bytes_sent = nullptr);

    void SetText(platform::Display display, const std::string& text) override;
    std::string GetText(platform::Display display) override;
    void SetProgressRange(int low, int high) override;
    void SetProgressPos(int pos) override;
    // The job's message box: nobody can close one here, so it is an alert (below).
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override;
    // Writes the post; one that fails is the run's output failure (NoteOutputFailure), and
    // with --json it is a "post-failed" event rather than a "post".
    void Post(int notify_fd, int message) override;
    void PostQuit() override;

    // Ends the output: the live line is closed, and the result goes out as the last line,
    // "result: STATUS MEANING" (a "result" object with --json). `meaning` is the outcome in
    // words (ExitMeaning when empty); `warnings` (WarningWords) follows it after a success. A
    // failure also names its cause on the error stream, `cause` when given, else the status
    // text that explains it (FailureDetail), or the meaning when that text is a message box
    // shown there already.
    void Finish(int exit_status, int job_result, const std::string& cause = "",
                const std::string& meaning = "", const std::string& warnings = "");

    // One JSON event of the run (start, identity, summary, error): its name and time, then
    // `fields`; nothing in other modes.
    void Event(const std::string& event, const records::JsonObject& fields);
    // A line of the run's own on the regular output (not in --json or --quiet).
    void Note(const std::string& line);
    // "CAPTION: TEXT" on the error stream, at once and without waiting (a message-box event with
    // --json); it explains the failure that the job's closing text will stand for.
    void Alert(const std::string& text, const std::string& caption, platform::MessageIcon icon);

    // The status text that explains a failure: the job writes "ERROR: Download failed." over
    // the image's own text, so the text before it is kept.
    std::string FailureDetail();

  private:
    void EmitJson(const std::string& event, const records::JsonObject& fields);
    void ShowLine(std::FILE* stream, const std::string& line);
    void ShowPlainLine(const std::string& line);
    void RedrawLiveLine();
    void ClearLiveLine();
    std::uint64_t BytesSent() const;
    double ElapsedMs() const;
    records::JsonObject WithBytesSent(records::JsonObject fields) const;

    std::mutex mutex_;
    OutputMode mode_;
    std::FILE* out_;
    std::FILE* err_;
    const std::atomic<std::uint64_t>* bytes_sent_;
    std::int64_t start_ns_;
    std::string texts_[5];
    std::string last_alert_;  // the last message box, as written to the error stream
    std::string failure_detail_;
    std::string previous_status_;
    // Plain lines on a terminal that cannot redraw one (TERM=dumb).
    bool on_terminal_;
    LiveLine live_;
    bool live_line_open_ = false;
};

// Flushes `stream`, one of the run's outputs. A write that failed for good (a full disk, an
// error of the device) is kept as the run's output failure; a reader that has gone away (a
// closed pipe) is not a failure: output is for whoever still reads it. False when the flush
// failed.
bool FlushOutput(std::FILE* stream);
// Keeps `cause` as the run's output failure, unless one is kept already (the first explains).
void NoteOutputFailure(const std::string& cause);
// At the program's end: flushes standard output and gives the first output failure of the run
// (a failed write to standard output, a post that could not be written), or success.
Result<void> EndOutput();

// The last line on `err` of a run that failed (not of one that was interrupted): where the
// usual causes of `exit_status` and what to try are written down.
void PointToHelp(std::FILE* err, int exit_status);

// The error event of a run that ends before its output begins (a usage error, a port that names
// no device), on `out`: {"event":"error","time_ms":0.000,"status":...,"meaning":...,"message":...}.
void WriteErrorEvent(std::FILE* out, int exit_status, const std::string& message);

}  // namespace vantor::cli
