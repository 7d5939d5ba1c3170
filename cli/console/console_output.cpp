#include "cli/console/console_output.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/terminal.h"
#include "records/exit_status.h"

namespace vantor::cli {

using platform::Display;

namespace {

constexpr const char* kDownloadFailedText = "ERROR: Download failed.";
constexpr const char* kPacketStageText = "Downloading packet";
constexpr int kDefaultColumns = 80;

const char* IconName(platform::MessageIcon icon) {
    switch (icon) {
        case platform::MessageIcon::Information:
            return "information";
        case platform::MessageIcon::Question:
            return "question";
        case platform::MessageIcon::Stop:
            return "stop";
        case platform::MessageIcon::None:
            break;
    }
    return "none";
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The run's displays as an operator reads them: "Image: demo.orb", "Boot loader version: 2.3",
// "Hardware: KDX2 (revision 2)", "Drive address: 5"; empty for a blanked display.
std::string LabelLine(Display display, const std::string& text) {
    if (text.empty()) {
        return "";
    }
    switch (display) {
        case Display::FileNameLabel:
            return "Image: " + text;
        case Display::VersionLabel:
            return "Boot loader version: " + text;
        case Display::RevisionLabel: {
            // The display's "KDX2 (ID = 2)" or, for a revision without a model name, "ID: 5".
            std::string words = text;
            if (const auto id = words.find("(ID = "); id != std::string::npos) {
                words.replace(id, 6, "(revision ");
            } else if (StartsWith(words, "ID: ")) {
                words.replace(0, 4, "revision ");
            }
            return "Hardware: " + words;
        }
        case Display::AddressLabel: {
            // The display holds the address's character: "0" to "9", then "A" to "V" for 10.
            const char character = text.size() == 1 ? text[0] : '\0';
            if (character >= 'A' && character <= 'V') {
                return "Drive address: " + std::to_string(character - 'A' + 10) + " (" + text + ")";
            }
            return "Drive address: " + text;
        }
        case Display::StatusLine:
            break;
    }
    return text;
}

std::mutex g_output_mutex;
std::string g_output_failure;

}  // namespace

bool FlushOutput(std::FILE* stream) {
    errno = 0;
    if (std::fflush(stream) == 0 && std::ferror(stream) == 0) {
        return true;
    }
    const int failure = errno;
    std::clearerr(stream);
    if (stream == stderr) {
        return false;  // nowhere left to say so
    }
    if (failure == EPIPE || platform::ReaderHasGone(stream)) {
        return false;
    }
    NoteOutputFailure(failure != 0 ? std::strerror(failure) : "a write failed");
    return false;
}

void NoteOutputFailure(const std::string& cause) {
    std::lock_guard lock(g_output_mutex);
    if (g_output_failure.empty()) {
        g_output_failure = cause;
    }
}

Result<void> EndOutput() {
    FlushOutput(stdout);
    std::lock_guard lock(g_output_mutex);
    if (g_output_failure.empty()) {
        return {};
    }
    return Failure{g_output_failure};
}

OutputMode ChooseOutputMode(bool json, bool quiet) {
    if (json) {
        return OutputMode::Json;
    }
    if (quiet) {
        return OutputMode::Quiet;
    }
    return platform::TerminalTakesSequences(stdout) ? OutputMode::Terminal : OutputMode::Plain;
}

ConsoleOutput::ConsoleOutput(OutputMode mode, std::FILE* out, std::FILE* err,
                             const std::atomic<std::uint64_t>* bytes_sent)
    : mode_(mode),
      out_(out),
      err_(err),
      bytes_sent_(bytes_sent),
      start_ns_(platform::NowNs()),
      on_terminal_(mode == OutputMode::Plain && platform::WritesToTerminal(out)) {}

double ConsoleOutput::ElapsedMs() const {
    return static_cast<double>(platform::NowNs() - start_ns_) / 1e6;
}

void ConsoleOutput::EmitJson(const std::string& event, const records::JsonObject& fields) {
    const std::string line = records::JsonObject()
                                 .String("event", event)
                                 .Fixed3("time_ms", ElapsedMs())
                                 .Append(fields)
                                 .Text();
    std::fprintf(out_, "%s\n", line.c_str());
    FlushOutput(out_);
}

// A line that stays. On a terminal it takes the live line's place; the next progress or
// packet event draws the live line again, so a finished stage's bar does not linger.
void ConsoleOutput::ShowLine(std::FILE* stream, const std::string& line) {
    ClearLiveLine();
    std::fprintf(stream, "%s\n", line.c_str());
    FlushOutput(stream);
}

std::uint64_t ConsoleOutput::BytesSent() const {
    return bytes_sent_ != nullptr ? bytes_sent_->load() : 0;
}

void ConsoleOutput::RedrawLiveLine() {
    // A line longer than the terminal would wrap, and the carriage return would then redraw
    // only its last part.
    const auto columns =
        static_cast<std::size_t>(std::max(platform::TerminalColumns(out_, kDefaultColumns) - 1, 1));
    const std::string line = live_.Text(platform::NowNs(), BytesSent(), columns);
    std::fprintf(out_, "\r\x1b[K%s", line.c_str());
    FlushOutput(out_);
    live_line_open_ = true;
}

void ConsoleOutput::ClearLiveLine() {
    if (live_line_open_) {
        std::fprintf(out_, "\r\x1b[K");
        FlushOutput(out_);
        live_line_open_ = false;
    }
}

void ConsoleOutput::SetText(Display display, const std::string& text) {
    std::lock_guard lock(mutex_);
    const bool status = display == Display::StatusLine;
    if (status) {
        if (text == kDownloadFailedText) {
            failure_detail_ = previous_status_;
        }
        previous_status_ = text;
    }
    // A display set again to the text it shows changes nothing on the screen, and nothing
    // here either (the seek shows the drive's address when it answers and when it is selected
    // again).
    const bool unchanged = !status && texts_[static_cast<int>(display)] == text;
    texts_[static_cast<int>(display)] = text;
    if (status) {
        live_.Status(text);
    } else if (display == Display::AddressLabel) {
        live_.Address(text);
    }
    const std::string line = status ? text : LabelLine(display, text);
    if (mode_ != OutputMode::Json && !status && (unchanged || line.empty())) {
        return;
    }
    switch (mode_) {
        case OutputMode::Json: {
            records::JsonObject fields;
            if (!status) {
                fields.String("display", DisplayName(display));
            }
            EmitJson(status ? "status" : "label", fields.String("text", text));
            break;
        }
        case OutputMode::Plain:
            ShowPlainLine(line);
            break;
        case OutputMode::Terminal:
            // The packet texts only move the live line on; everything else stays readable.
            if (status && StartsWith(text, kPacketStageText)) {
                RedrawLiveLine();
            } else {
                ShowLine(out_, line);
            }
            break;
        case OutputMode::Quiet:
            break;
    }
}

std::string ConsoleOutput::GetText(Display display) {
    std::lock_guard lock(mutex_);
    return texts_[static_cast<int>(display)];
}

// The bytes the host has written to the line so far, for a reader's own rate.
records::JsonObject ConsoleOutput::WithBytesSent(records::JsonObject fields) const {
    if (bytes_sent_ != nullptr) {
        fields.Unsigned("bytes_sent", bytes_sent_->load());
    }
    return fields;
}

// On a terminal that cannot redraw a line, the packets' texts show the count, the rate and the
// time left at each tenth of the image; a file or a pipe gets every text as it is.
void ConsoleOutput::ShowPlainLine(const std::string& line) {
    if (!on_terminal_ || !StartsWith(line, kPacketStageText) || !live_.HasProgress()) {
        ShowLine(out_, line);
    } else if (live_.AtNewTenth()) {
        ShowLine(out_, line + "  " + live_.Numbers(platform::NowNs(), BytesSent()));
    }
}

void ConsoleOutput::SetProgressRange(int low, int high) {
    std::lock_guard lock(mutex_);
    live_.Range(low, high, platform::NowNs(), BytesSent());
    if (mode_ == OutputMode::Json) {
        EmitJson("progress-range",
                 WithBytesSent(records::JsonObject().Integer("low", low).Integer("high", high)));
    } else if (mode_ == OutputMode::Terminal) {
        RedrawLiveLine();
    }
}

void ConsoleOutput::SetProgressPos(int pos) {
    std::lock_guard lock(mutex_);
    live_.Position(pos, platform::NowNs());
    if (mode_ == OutputMode::Json) {
        EmitJson("progress", WithBytesSent(records::JsonObject().Integer("position", pos)));
    } else if (mode_ == OutputMode::Terminal) {
        RedrawLiveLine();
    }
}

void ConsoleOutput::MessageBox(const std::string& text, const std::string& caption,
                               platform::MessageIcon icon) {
    Alert(text, caption, icon);
}

void ConsoleOutput::Alert(const std::string& text, const std::string& caption,
                          platform::MessageIcon icon) {
    std::lock_guard lock(mutex_);
    // The box explains the failure that the job's closing text will stand for.
    previous_status_ = caption + ": " + text;
    last_alert_ = previous_status_;
    if (mode_ == OutputMode::Json) {
        EmitJson("message-box", records::JsonObject()
                                    .String("caption", caption)
                                    .String("icon", IconName(icon))
                                    .String("text", text));
    }
    ShowLine(err_, caption + ": " + text);
}

void ConsoleOutput::Post(int notify_fd, int message) {
    const auto post = platform::PostToDescriptor(notify_fd, message);
    const bool posted = static_cast<bool>(post);
    const std::string& error = post.reason();
    if (!posted) {
        NoteOutputFailure("the post " + std::to_string(message) + " to file descriptor " +
                          std::to_string(notify_fd) + " could not be written: " + error);
    }
    std::lock_guard lock(mutex_);
    if (mode_ == OutputMode::Json) {
        records::JsonObject fields =
            records::JsonObject().Integer("fd", notify_fd).Integer("message", message);
        if (!posted) {
            fields.String("error", error);
        }
        EmitJson(posted ? "post" : "post-failed", fields);
    }
}

void ConsoleOutput::PostQuit() {
    std::lock_guard lock(mutex_);
    if (mode_ == OutputMode::Json) {
        EmitJson("quit", records::JsonObject());
    }
}

std::string ConsoleOutput::FailureDetail() {
    std::lock_guard lock(mutex_);
    return failure_detail_.empty() ? texts_[static_cast<int>(Display::StatusLine)]
                                   : failure_detail_;
}

void ConsoleOutput::Event(const std::string& event, const records::JsonObject& fields) {
    std::lock_guard lock(mutex_);
    if (mode_ == OutputMode::Json) {
        EmitJson(event, fields);
    }
}

void ConsoleOutput::Note(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (mode_ == OutputMode::Plain || mode_ == OutputMode::Terminal) {
        ShowLine(out_, line);
    }
}

void ConsoleOutput::Finish(int exit_status, int job_result, const std::string& cause,
                           const std::string& meaning_words, const std::string& warnings) {
    const std::string detail = cause.empty() ? FailureDetail() : cause;
    std::lock_guard lock(mutex_);
    if (live_line_open_) {
        // The live line's last state stays on screen.
        std::fprintf(out_, "\n");
        live_line_open_ = false;
    }
    const std::string meaning =
        meaning_words.empty() ? records::ExitMeaning(exit_status) : meaning_words;
    const bool success = exit_status == records::kExitSuccess;
    if (mode_ == OutputMode::Json) {
        records::JsonObject fields = records::JsonObject()
                                         .Integer("status", exit_status)
                                         .Integer("job_result", job_result)
                                         .String("meaning", meaning)
                                         .String("detail", success ? "" : detail);
        // ", 8 protected-memory warnings" as "8 protected-memory warnings".
        fields.String("warnings", warnings.size() > 2 ? warnings.substr(2) : "");
        EmitJson("result", fields);
    } else {
        std::fprintf(out_, "result: %d %s%s\n", exit_status, meaning.c_str(),
                     success ? warnings.c_str() : "");
        if (bytes_sent_ != nullptr && mode_ != OutputMode::Quiet &&
            (mode_ == OutputMode::Terminal || on_terminal_)) {
            // Someone watches: what went over the line, in how long, at what rate.
            const auto columns = static_cast<std::size_t>(
                std::max(platform::TerminalColumns(out_, kDefaultColumns) - 1, 1));
            std::fprintf(out_, "%s\n",
                         ClosingLine(BytesSent(), platform::NowNs() - start_ns_, columns).c_str());
        }
    }
    FlushOutput(out_);
    if (success) {
        return;
    }
    // A message box is on the error stream already: its meaning follows it, not a copy.
    std::fprintf(err_, "vantor-cli: %s\n",
                 detail == last_alert_ ? meaning.c_str() : detail.c_str());
    std::fflush(err_);
}

void PointToHelp(std::FILE* err, int exit_status) {
    // An interruption's detail says already how to go on.
    if (exit_status == records::kExitSuccess || exit_status >= records::kExitSignalBase) {
        return;
    }
    std::fprintf(err, "vantor-cli: %s\n", records::WhatToTryLine(exit_status).c_str());
    std::fflush(err);
}

void WriteErrorEvent(std::FILE* out, int exit_status, const std::string& message) {
    const std::string line = records::JsonObject()
                                 .String("event", "error")
                                 .Fixed3("time_ms", 0.0)
                                 .Integer("status", exit_status)
                                 .String("meaning", records::ExitMeaning(exit_status))
                                 .String("message", message)
                                 .Text();
    std::fprintf(out, "%s\n", line.c_str());
    FlushOutput(out);
}

}  // namespace vantor::cli
