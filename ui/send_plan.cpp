#include "ui/send_plan.h"

#include <fstream>
#include <iterator>

#include "image/file_kind.h"
#include "image/files_list_io.h"
#include "job/download_image.h"
#include "ui/job_words.h"

namespace vantor::ui {

namespace {

constexpr const char* kNothingSent = " Nothing was sent to the drive.";

// Where the image stands, ending with its path: the list, the line and the line as written;
// or the image alone.
std::string WhereFrom(const PlannedImage& image, const std::string& files_list_path) {
    if (image.line == 0) {
        return "The image " + image.entry.Path + " ";
    }
    std::string where = "Files list " + files_list_path + ", line " + std::to_string(image.line) +
                        " \"" + image.line_text + "\"";
    if (!SplitAtSeparator(image.line_text)) {
        where +=
            " (a line holds the file name, four blanks, then the file's path; this one has no "
            "four blanks)";
    }
    return where + ": " + image.entry.Path + " ";
}

// Why the image cannot go, in words that name the file and the reason.
std::string ImageCause(const PlannedImage& image, const std::string& files_list_path,
                       const ImageCheck& check, const std::string& reader_said) {
    std::string cause = WhereFrom(image, files_list_path);
    if (check.result == ImageResult::kUnopenable) {
        cause += "cannot be opened: " + check.open_problem.value_or("");
    } else {
        cause += "is refused: " + reader_said;
        if (IsFaultOfTheFormat(check.result)) {
            if (const std::string kind = NotAnImageText(KindOfRefusedImage(image.entry.Path));
                !kind.empty()) {
                cause += " (" + kind + ")";
            }
        }
    }
    if (cause.back() != '.') {
        cause += ".";
    }
    return cause + kNothingSent;
}

}  // namespace

void HeldBackTexts::SetText(platform::Display display, const std::string& text) {
    texts_[static_cast<int>(display)] = text;
    if (display == platform::Display::StatusLine) {
        shown_.push_back({text, "", platform::MessageIcon::None, false});
        last_said_ = text;
    }
}

std::string HeldBackTexts::GetText(platform::Display display) {
    return texts_[static_cast<int>(display)];
}

void HeldBackTexts::MessageBox(const std::string& text, const std::string& caption,
                               platform::MessageIcon icon) {
    shown_.push_back({text, caption, icon, true});
    last_said_ = text;
}

void HeldBackTexts::ShowOn(platform::WindowLink& link) const {
    for (const Shown& shown : shown_) {
        if (shown.box) {
            link.MessageBox(shown.text, shown.caption, shown.icon);
        } else {
            link.SetText(platform::Display::StatusLine, shown.text);
        }
    }
}

PlannedImages ReadPlannedImages(const std::string& image_path, const std::string& files_list_path) {
    PlannedImages planned;
    if (!image_path.empty()) {
        planned.images.push_back({0, "", {FileNameOf(image_path), image_path}});
        return planned;
    }
    FilesListFile list;
    if (!list.OpenForJob(files_list_path)) {
        planned.problem = "cannot be opened: " + list.open_problem();
        return planned;
    }
    std::string line;
    int number = 0;
    while (list.ReadLine(line)) {
        planned.images.push_back({++number, line, SplitJobLine(line)});
    }
    if (list.ReadFailed()) {
        planned.problem = "cannot be read to its end";
    }
    return planned;
}

std::vector<RefusedLine> RefusedLines(const std::string& path) {
    // A files list names a few images; anything this large is no files list to name lines of.
    constexpr std::size_t kMaxListBytes = std::size_t{1} << 20;
    std::ifstream file(path, std::ios::binary);
    std::string bytes;
    char chunk[4096];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        bytes.append(chunk, static_cast<std::size_t>(file.gcount()));
        if (bytes.size() > kMaxListBytes) {
            return {};
        }
    }
    std::vector<RefusedLine> refused;
    int number = 0;
    for (const std::string& line : SplitFileLines(bytes)) {
        ++number;
        // The loader's rules, in its order.
        if (line.size() > kDialogLineLimit) {
            refused.push_back(
                {number, line,
                 "a line holds at most " + std::to_string(kDialogLineLimit) + " characters"});
        } else if (const auto entry = SplitAtSeparator(line); !entry) {
            refused.push_back(
                {number, line, "a line holds the file name, four blanks, then the file's path"});
        } else if (entry->Name.empty()) {
            refused.push_back(
                {number, line, "a line begins with the file name, which may not be empty"});
        }
    }
    return refused;
}

void CheckSendPlan(const std::string& image_path, const std::string& files_list_path,
                   SendPlan& plan) {
    platform::ScopedWindowLink held_shows_the_checks(plan.held);
    PlannedImages planned = ReadPlannedImages(image_path, files_list_path);
    plan.images = std::move(planned.images);
    if (planned.problem) {
        platform::ReportStatus("Failed to open files list", 0);
        plan.fault = JobResult::kFilesListUnopenable;
        plan.cause =
            "The files list " + files_list_path + " " + *planned.problem + "." + kNothingSent;
        return;
    }
    for (const PlannedImage& image : plan.images) {
        // The header check names the image by the file name display.
        plan.held.SetText(platform::Display::FileNameLabel, image.entry.Name);
        const ImageCheck check = CheckImage(image.entry.Path);
        if (check.result != ImageResult::kDownloaded) {
            plan.cause = ImageCause(image, files_list_path, check, plan.held.LastSaid());
            platform::ReportStatus("ERROR: Download failed.", 0);
            plan.fault = check.result;
            return;
        }
    }
}

}  // namespace vantor::ui
