#include "ui/job_words.h"

#include <vector>

namespace vantor::ui {

namespace {

// Windows paths end their folders with either slash; elsewhere a backslash is a name's own.
#ifdef _WIN32
constexpr const char* kFolderEnds = "\\/";
#else
constexpr const char* kFolderEnds = "/";
#endif

constexpr const char* kResumeText =
    "To resume, tick \"Skip drives seeking\" in Advanced and press Start: the download begins "
    "again with the first image.";

std::string Count(int count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string JoinSentences(const std::vector<std::string>& parts) {
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : " ") + part;
    }
    return text;
}

}  // namespace

std::string FileNameOf(const std::string& path) {
    const auto slash = path.find_last_of(kFolderEnds);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string StoppedJobText(JobOutcome outcome, const JobRecord& record) {
    if (outcome.result != JobResult::kStopped) {
        return "";
    }
    const DownloadTally& tally = record.Download;
    if (record.IdentWord < 0) {
        // Stopped while the drive was sought or resynchronised: it may have entered its boot
        // loader already, or still be in its command mode.
        return "The download was stopped before the drive was identified: the drive may be in "
               "its boot loader already. Start again as usual; if no drive answers the seek, "
               "tick \"Skip drives seeking\" in Advanced.";
    }
    if (tally.Images.empty() || tally.Images.back().PacketsSent == 0) {
        return JoinSentences(
            {"The download was stopped before a packet of the image was "
             "sent: the drive is left in its boot loader.",
             kResumeText});
    }
    const SentImage& image = tally.Images.back();
    return JoinSentences(
        {"The download was stopped after packet " + std::to_string(image.PacketsSent) + " of " +
             std::to_string(image.PacketsDeclared) + " of " + FileNameOf(image.Path) + " (image " +
             std::to_string(tally.Images.size()) +
             "): the drive is left in its boot loader with part of the firmware.",
         kResumeText});
}

std::string UnstoppedJobText() {
    return "The download did not stop within " + std::to_string(kStopBoundSeconds) +
           " seconds: the window closes and leaves it where it stands; the drive may hold part "
           "of the firmware. " +
           kResumeText;
}

std::string JobWarningsText(const DownloadTally& tally) {
    std::vector<std::string> parts;
    if (tally.MissingResponses > 0) {
        parts.push_back(Count(tally.MissingResponses, "packet", "packets") +
                        " got no response from the drive: check that the drive took the "
                        "firmware before it is used.");
    }
    if (tally.ProtectedWarnings > 0) {
        parts.push_back(Count(tally.ProtectedWarnings, "packet", "packets") +
                        " tried to write or erase protected memory.");
    }
    const int not_understood = tally.UnrecognisedResponses + tally.InvalidCommandResponses;
    if (not_understood > 0) {
        parts.push_back(Count(not_understood, "response", "responses") +
                        " of the drive were not understood or refused a command.");
    }
    return JoinSentences(parts);
}

}  // namespace vantor::ui
