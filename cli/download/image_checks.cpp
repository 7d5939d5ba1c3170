#include "cli/download/image_checks.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/console/status_keeper.h"
#include "image/cut_image.h"
#include "image/file_kind.h"
#include "image/files_list.h"
#include "image/image_reader.h"
#include "job/download_image.h"
#include "platform/window_link.h"

namespace vantor::cli {

namespace {

// Holds back what a check shows, to be shown only when the check fails. The reader's texts
// arrive through the job's display interface (platform::WindowLink), which this implements.
class HeldBackOutput final : public platform::WindowLink {
  public:
    void SetText(platform::Display display, const std::string& text) override {
        texts_[static_cast<int>(display)] = text;
        shown_.push_back({display, text, "", platform::MessageIcon::None, false});
        if (display == platform::Display::StatusLine) {
            last_said_ = text;
        }
    }
    std::string GetText(platform::Display display) override {
        return texts_[static_cast<int>(display)];
    }
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void MessageBox(const std::string& text, const std::string& caption,
                    platform::MessageIcon icon) override {
        shown_.push_back({platform::Display::StatusLine, text, caption, icon, true});
        last_said_ = text;
    }
    void Post(int, int) override {}
    void PostQuit() override {}

    // The last status text or message box text: what the reader said of the image it refused.
    const std::string& last_said() const { return last_said_; }

    // Shows on `output` what was held back, in its order.
    void ShowOn(ConsoleOutput& output) const {
        for (const Shown& shown : shown_) {
            if (shown.alert) {
                output.Alert(shown.text, shown.caption, shown.icon);
            } else {
                output.SetText(shown.display, shown.text);
            }
        }
    }

  private:
    struct Shown {
        platform::Display display;
        std::string text;
        std::string caption;
        platform::MessageIcon icon;
        bool alert;  // a message box of the job
    };
    std::string texts_[5];
    std::vector<Shown> shown_;
    std::string last_said_;
};

// The digest the job will hold an image to, as DownloadJob looks it up.
std::optional<std::string> ExpectedSha256(const JobOptions& options, const std::string& path) {
    if (!options.ExpectedImageSha256) {
        return std::nullopt;
    }
    const auto named = options.ExpectedImageSha256->find(path);
    return named != options.ExpectedImageSha256->end() ? named->second : "";
}

constexpr const char* kCutShortWords = "the image file is cut short: it ends inside a packet";

// Where a file whose packet the reader refused ends inside a packet; nothing for a packet that
// is damaged within the file.
std::optional<CutPacket> CutPacketOf(const std::string& path, ImageResult result) {
    if (result != ImageResult::kBadBopWord && result != ImageResult::kChecksumMismatch &&
        result != ImageResult::kPrematureEnd) {
        return std::nullopt;
    }
    ImageFile file;
    ImageHeader header;
    StatusKeeper quiet;
    platform::ScopedWindowLink reader_says_nothing(quiet);
    if (!file.Open(path, 0) ||
        CheckHeader(file, kRevisionNotYetKnown, "", header) != HeaderResult::kAccepted) {
        return std::nullopt;
    }
    file.Close();
    return FindCutPacket(path, header.DataOffset);
}

// What the image's design code and texts do not say of a refused image.
struct ImageDetail {
    // The path and the system's reason for a file that cannot be opened, or what a refused file
    // is when it is no Orrim image at all; for a files list's image, the list's line first.
    // Empty when there is nothing to add.
    std::string detail;
    // What the file is instead of an image, when it is no Orrim image at all.
    std::string kind;
};

ImageDetail DetailOf(const FilesListEntry& entry, const std::string& list_line,
                     const ImageCheck& check, const std::string& reader_said) {
    ImageDetail said;
    if (check.result == ImageResult::kUnopenable) {
        said.detail = entry.Path + ": cannot be opened: " + check.open_problem.value_or("");
    } else if (const auto cut = CutPacketOf(entry.Path, check.result)) {
        // The reader's text blames a checksum or a BOP word: the file is what is short.
        said.kind = kCutShortWords;
        said.detail = entry.Path + ": " + CutPacketText(*cut) + " (" + reader_said + ")";
    } else if (IsFaultOfTheFormat(check.result)) {
        said.kind = NotAnImageText(KindOfRefusedImage(entry.Path));
        if (said.kind.empty()) {
            return said;
        }
        said.detail = entry.Path + ": " + said.kind + " (" + reader_said + ")";
    } else {
        return said;
    }
    if (!list_line.empty()) {
        said.detail = list_line + ": " + said.detail;
    }
    return said;
}

// The files list's fault, shown as the job would show it: the list cannot be opened, or it has
// no line. A line that breaks the list's form has no design text; its detail says it.
Outcome ListOutcome(const records::FilesListFault& fault, const records::TakenFilesList& list) {
    if (fault.exit_status == records::kExitEmptyList) {
        platform::ReportStatus("File not found,press Advanced button to add files.", 0);
        return {JobResult::kDone, fault.exit_status, fault.detail};
    }
    if (!list.problem.empty()) {
        platform::ReportStatus("Failed to open files list", 0);
        return {JobResult::kFilesListUnopenable, fault.exit_status, fault.detail,
                "the files list cannot be opened"};
    }
    return {JobResult::kFilesListUnopenable, fault.exit_status, fault.detail,
            "a line of the files list is not a file name, four blanks and a path"};
}

// Reads every image the run will send, as the download will read it: the first fault's
// outcome, with its texts held back in `held`.
Outcome CheckImages(const DownloadSettings& settings, const records::TakenFilesList& list,
                    const JobOptions& options, HeldBackOutput& held) {
    platform::ScopedWindowLink held_shows_the_checks(held);
    std::vector<FilesListEntry> entries;
    if (settings.files_list.empty()) {
        entries.push_back({BaseName(settings.image), settings.image});
    } else if (const auto fault = records::FilesListFaultOf(list)) {
        return ListOutcome(*fault, list);
    } else {
        for (const std::string& line : list.lines) {
            entries.push_back(SplitJobLine(line));
        }
    }
    for (std::size_t line = 0; line < entries.size(); ++line) {
        const FilesListEntry& entry = entries[line];
        held.SetText(platform::Display::FileNameLabel, entry.Name);
        const ImageCheck check = CheckImage(entry.Path, ExpectedSha256(options, entry.Path));
        if (check.result != ImageResult::kDownloaded) {
            const std::string list_line =
                settings.files_list.empty()
                    ? ""
                    : records::FilesListLineName(list.path, static_cast<int>(line) + 1,
                                                 list.lines[line]);
            ImageDetail said = DetailOf(entry, list_line, check, held.last_said());
            platform::ReportStatus("ERROR: Download failed.", 0);
            return {check.result, records::ExitStatusForJob(check.result), std::move(said.detail),
                    std::move(said.kind)};
        }
        if (check.packets == 0 && settings.strict) {
            return {JobResult::kDone, records::kExitStrictNoPacket,
                    "\"" + entry.Path + "\" sends no packet"};
        }
    }
    return {};
}

}  // namespace

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void ExpectStartedImages(const records::RunStart& start, const records::TakenFilesList& list,
                         JobOptions& options) {
    if (!list.path.empty()) {
        options.FilesListLines = list.lines;
    }
    std::map<std::string, std::string> expected;
    for (const records::ImageEntry& image : start.images) {
        expected.emplace(image.path, image.digest ? image.digest->sha256 : "");
    }
    options.ExpectedImageSha256 = std::move(expected);
}

Outcome CheckImagesBeforeThePort(const DownloadSettings& settings,
                                 const records::TakenFilesList& list, const JobOptions& options,
                                 ConsoleOutput& output) {
    HeldBackOutput held;
    const Outcome outcome = CheckImages(settings, list, options, held);
    if (outcome.exit_status != records::kExitSuccess) {
        held.ShowOn(output);
    }
    return outcome;
}

}  // namespace vantor::cli
