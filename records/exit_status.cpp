#include "records/exit_status.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "link/drive_activation.h"

namespace vantor::records {

namespace {

constexpr int kHighestExitStatus = 255;

// Where the documentation is installed: this build's installation folder, and the package's.
constexpr const char* kPackageDocumentationFolder = "/usr/share/doc/vantor";
#ifdef VANTOR_DOC_DIR
constexpr const char* kDocumentationFolder = VANTOR_DOC_DIR;
#else
constexpr const char* kDocumentationFolder = kPackageDocumentationFolder;
#endif
constexpr const char* kGuideName = "/troubleshooting.md";

constexpr const char* kRevisionMark = "revision ID ";

constexpr std::string_view kStrictLead = "--strict: ";
constexpr std::size_t kLabelWidth = 8;
constexpr std::size_t kSummaryWidth = 92;

constexpr ExitStatusLine kExitStatusLines[] = {
    {kExitSuccess, -1, "0", "", "success", ""},
    {DesignCode(JobResult::kSeveralDrives), -1, "1", "", "several drives answered", ""},
    {DesignCode(JobResult::kResyncFailed), -1, "2", "", "resynchronisation failed", ""},
    {DesignCode(JobResult::kIdentifyFailed), -1, "3", "", "identification failed", ""},
    {DesignCode(JobResult::kFilesListUnopenable), -1, "4", "",
     "the files list cannot be opened or has a faulty line", ""},
    {DesignCode(JobResult::kPortUnopenable), -1, "5", "", "the port cannot be opened", ""},
    {DesignCode(JobResult::kPortLost), -1, "6", "", "the port was lost during the job",
     "(connection ended, adapter pulled out)"},
    {-1, -1, "100+|c|", "", "an image failed with the DownloadImage code c", "(106 for -6)"},
    {kExitImageBase - DesignCode(ImageResult::kImageChanged), -1, "110", "",
     "the image file changed during the download", ""},
    {kExitStrictProtectedMemory, -1, "20", kStrictLead, "a packet met protected memory", ""},
    {kExitStrictResponse, -1, "21", kStrictLead, "a response was missing or unrecognised", ""},
    {kExitEmptyList, -1, "22", "", "the files list has no line", "(refused before the port opens)"},
    {kExitStrictNoPacket, -1, "23", kStrictLead, "an image sends no packet", ""},
    {kExitSomeStationsFailed, -1, "30", "a production line: ", "some stations failed", ""},
    {kExitReportUnwritten, -1, "31", "", "the report could not be written", "(--report)"},
    {kExitOutputUnwritten, -1, "32", "", "the run's output could not be written",
     "(stdout, --notify-fd)"},
    {kExitUsage, -1, "64", "", "usage error", ""},
    {kExitSignalBase + 2, kExitSignalBase + 15, "130, 143", "", "interrupted",
     "by Ctrl-C (SIGINT) or SIGTERM"},
};

bool FileIsReadable(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    std::fclose(file);
    return true;
}

// "revision 2 (KDX2)", or "revision 5" for a revision without a model name.
std::string RevisionWords(int revision) {
    std::string words = "revision " + std::to_string(revision);
    if (const char* model = ModelName(revision)) {
        words += std::string(" (") + model + ")";
    }
    return words;
}

// The revision that the header check's message says the image is meant for; -1 when the text
// is not that message.
int ImageRevisionIn(const std::string& text) {
    const std::size_t mark = text.find(kRevisionMark);
    if (mark == std::string::npos) {
        return -1;
    }
    int revision = -1;
    for (std::size_t at = mark + std::strlen(kRevisionMark);
         at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0 &&
         revision < 0x10000;
         ++at) {
        revision = std::max(revision, 0) * 10 + (text[at] - '0');
    }
    return revision;
}

std::string RevisionMismatchWords(const std::string& failure_text, int drive_revision) {
    const int image_revision = ImageRevisionIn(failure_text);
    std::string words = image_revision >= 0
                            ? "the image is for hardware " + RevisionWords(image_revision)
                            : "the image is for another hardware revision";
    if (drive_revision >= 0) {
        words += ", the drive is " + RevisionWords(drive_revision);
    }
    return words;
}

std::string ImageMeaning(ImageResult image, const std::string& failure_text, int drive_revision) {
    switch (image) {
        case ImageResult::kUnopenable:
            return "the image file cannot be opened";
        case ImageResult::kNotAcknowledged:
            return "the drive did not acknowledge a packet in three sends";
        case ImageResult::kResponseFailed:
            return "the drive answered a packet with an error status";
        case ImageResult::kInvalidCommand:
            return "the drive answered a packet \"??\" (invalid command) at its third send";
        case ImageResult::kRevisionMismatch:
            return RevisionMismatchWords(failure_text, drive_revision);
        case ImageResult::kNotOrrimMagic:
            return "the file is not an Orrim image";
        case ImageResult::kFormatTooNew:
            return "the image's format is newer than this program reads";
        case ImageResult::kNotKdxFamily:
            return "the image is a KDX image of another family";
        case ImageResult::kBadBopWord:
            return "a packet of the image does not begin with its start word (0xA55A)";
        case ImageResult::kPacketTooLong:
            return "a packet of the image is longer than the boot loader takes";
        case ImageResult::kChecksumMismatch:
            return "a packet of the image has a wrong checksum";
        case ImageResult::kPrematureEnd:
            return "the image file is cut short: it ends inside a packet or before the packets "
                   "its header declares";
        case ImageResult::kImageChanged:
            return "the image file changed during the download";
        case ImageResult::kStopped:
            return "interrupted";
        case ImageResult::kDownloaded:
            break;
    }
    return "success";
}

// An image's status where its code alone is known: both causes of a shared code.
const char* ImageStatusWords(int exit_status) {
    switch (exit_status - kExitImageBase) {
        case 2:
            return "the image file cannot be opened, or a packet of it lacks its start word";
        case 3:
            return "the drive did not acknowledge a packet in three sends";
        case 4:
            return "the drive answered a packet with an error status, or a packet is too long";
        case 5:
            return "the drive answered a packet \"??\" (invalid command) at its third send, or a "
                   "packet's checksum is wrong";
        case 6:
            return "the image is for another hardware revision, or the image file is cut short";
        case 7:
            return "the file is not an Orrim image";
        case 8:
            return "the image's format is newer than this program reads";
        case 9:
            return "the image is a KDX image of another family";
        default:
            return nullptr;
    }
}

// "addresses 3 and 7" from the bits of the addresses that answered.
std::string AddressList(std::uint32_t answered) {
    std::vector<int> addresses;
    for (int address = 0; address <= kHighestAddress; ++address) {
        if ((answered >> address & 1U) != 0) {
            addresses.push_back(address);
        }
    }
    std::string list = addresses.size() == 1 ? "address " : "addresses ";
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        list += (i == 0                      ? ""
                 : i + 1 == addresses.size() ? " and "
                                             : ", ") +
                std::to_string(addresses[i]);
    }
    return list;
}

std::string SeveralDrivesWords(const LinkTally& link) {
    // The seek stops at the second drive that answers: more may be on the line.
    const std::string answered =
        link.FirstFailureAnswered != 0 ? AddressList(link.FirstFailureAnswered) + "; " : "";
    return answered + "pick one with --address N";
}

// The activation failure that came first, in words; empty when there was none.
std::string ActivationWords(const LinkTally& link) {
    const int address = link.FirstFailureAddress;
    switch (link.FirstFailure) {
        case ActivationFailure::kSeveralDrives:
            return "several drives answered the seek: " + SeveralDrivesWords(link);
        case ActivationFailure::kAddressSilent:
            return "no drive answered at address " + std::to_string(address);
        case ActivationFailure::kCommandModeKept:
            return (address >= 0 ? "the drive at address " + std::to_string(address)
                                 : std::string("a drive")) +
                   " answered but stayed in its command mode (it did not enter its boot loader)";
        case ActivationFailure::kNone:
            break;
    }
    return "";
}

}  // namespace

std::span<const ExitStatusLine> ExitStatusLines() {
    return kExitStatusLines;
}

std::string ExitStatusHelp() {
    std::string help;
    for (const ExitStatusLine& line : kExitStatusLines) {
        std::string label(line.label);
        label.resize(std::max(kLabelWidth, label.size()), ' ');
        help += "  " + label + " " + std::string(line.lead) + std::string(line.words) +
                (line.more.empty() ? "" : " " + std::string(line.more)) + "\n";
    }
    return help;
}

std::string ExitStatusSummary(std::span<const int> only) {
    std::vector<const ExitStatusLine*> lines;
    for (const ExitStatusLine& line : kExitStatusLines) {
        if (only.empty() || std::find(only.begin(), only.end(), line.status) != only.end()) {
            lines.push_back(&line);
        }
    }
    std::string text = " ";
    std::size_t line_begin = 0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string item = std::string(lines[i]->label) + " " + std::string(lines[i]->lead) +
                                 std::string(lines[i]->words) + (i + 1 < lines.size() ? ";" : ".");
        if (text.size() - line_begin > 1 &&
            text.size() - line_begin + 1 + item.size() > kSummaryWidth) {
            text += "\n ";
            line_begin = text.size() - 1;
        }
        text += " " + item;
    }
    return text + "\n";
}

int ExitStatusForJob(JobOutcome outcome) {
    const int job_result = DesignCode(outcome);
    if (job_result >= 0) {
        return job_result;
    }
    // The codes of DownloadImage are small; the clamp only guards the shell's 8 bits.
    return std::min(kExitImageBase - job_result, kHighestExitStatus);
}

std::string ExitMeaning(int exit_status) {
    for (const ExitStatusLine& line : kExitStatusLines) {
        if (exit_status >= 0 && (line.status == exit_status || line.also == exit_status)) {
            // The result line writes --strict's statuses as "strict: ...".
            return (line.lead == kStrictLead ? "strict: " : "") + std::string(line.words);
        }
    }
    if (const char* words = ImageStatusWords(exit_status)) {
        return words;
    }
    if (exit_status > kExitImageBase) {
        return "an image failed for a cause this program does not name (DownloadImage code -" +
               std::to_string(exit_status - kExitImageBase) + ")";
    }
    return "unknown";
}

std::string OutcomeMeaning(const RunFacts& facts) {
    if (facts.exit_status != ExitStatusForJob(facts.job) || facts.record == nullptr) {
        // --strict, the report, the output or an interruption decided the status.
        if (facts.exit_status == ExitStatusForJob(facts.job) &&
            facts.job.result == JobResult::kImageFailed) {
            return ImageMeaning(facts.job.image, facts.failure_text, -1);
        }
        return ExitMeaning(facts.exit_status);
    }
    const JobRecord& record = *facts.record;
    switch (facts.job.result) {
        case JobResult::kSeveralDrives:
            return "several drives answered: " + SeveralDrivesWords(record.Link);
        case JobResult::kResyncFailed:
            if (const std::string before = ActivationWords(record.Link); !before.empty()) {
                return ExitMeaning(facts.exit_status) + ": " + before;
            }
            break;
        case JobResult::kImageFailed:
            return ImageMeaning(facts.job.image, facts.failure_text,
                                record.IdentWord >= 0 ? (record.IdentWord >> 12) & 0xF : -1);
        default:
            break;
    }
    return ExitMeaning(facts.exit_status);
}

std::string WarningWords(int protected_memory, int missing, int unrecognised, int invalid_command) {
    std::string words;
    const auto add = [&words](int count, const char* one, const char* several) {
        if (count > 0) {
            words += ", " + std::to_string(count) + " " + (count == 1 ? one : several);
        }
    };
    add(protected_memory, "protected-memory warning", "protected-memory warnings");
    add(missing, "missing response", "missing responses");
    add(unrecognised, "unrecognised response", "unrecognised responses");
    add(invalid_command, "\"invalid command\" answer", "\"invalid command\" answers");
    return words;
}

std::string WarningWords(const DownloadTally& tally) {
    return WarningWords(tally.ProtectedWarnings, tally.MissingResponses,
                        tally.UnrecognisedResponses, tally.InvalidCommandResponses);
}

std::string WhatToTryLine(int exit_status) {
    // The guide where it is installed; a program run from its build tree names the copy in the
    // source.
    std::string guide = "docs/troubleshooting.md in Vantor's source";
    for (const char* folder : {kDocumentationFolder, kPackageDocumentationFolder}) {
        if (const std::string installed = folder + std::string(kGuideName);
            FileIsReadable(installed)) {
            guide = installed;
            break;
        }
    }
    return "what to try: look up status " + std::to_string(exit_status) + " in " + guide;
}

}  // namespace vantor::records
