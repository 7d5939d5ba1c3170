#include "records/run_record.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/store_file.h"

namespace vantor::records {

namespace {

// Whether the file at `path` is empty or begins as a report of this program does (a run's with
// its event, a line's with the tool): only such a file is replaced or withdrawn by a run.
bool HoldsAReport(const std::string& path) {
    constexpr std::string_view kRunReport = "{\"event\":";
    constexpr std::string_view kLineReport = "{\"tool\":\"vantor-cli\"";
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char begins[32] = {};
    const std::size_t got = std::fread(begins, 1, kLineReport.size(), file);
    std::fclose(file);
    const std::string_view seen(begins, got);
    return got == 0 || seen.rfind(kRunReport, 0) == 0 || seen == kLineReport;
}

// The digest of a file that could be read, or nulls.
void AddDigest(JsonObject& fields, const std::optional<FileDigest>& digest) {
    if (!digest) {
        fields.Null("size_bytes").Null("sha256");
        return;
    }
    fields.Integer("size_bytes", static_cast<long long>(digest->size_bytes))
        .String("sha256", digest->sha256);
}

// A field of the identification word, or null when the drive did not identify itself.
std::optional<long long> IdentPart(int ident_word, int shift, int mask) {
    if (ident_word < 0) {
        return std::nullopt;
    }
    return (ident_word >> shift) & mask;
}

std::optional<std::string> Known(const std::string& text) {
    return text.empty() ? std::nullopt : std::optional(text);
}

// One image as the download sent it; `start` is its entry at the start, to compare with.
JsonObject SentFields(const SentImage& sent, const ImageEntry& start) {
    JsonObject fields;
    fields.Integer("size_bytes", sent.SizeBytes)
        .StringOrNull("sha256", Known(sent.Sha256))
        .Integer("packets_declared", sent.PacketsDeclared)
        .Integer("packets_sent", sent.PacketsSent);
    if (sent.ChangedWhileSent) {
        fields.Bool("matches_start", false);
    } else if (!start.digest || sent.Sha256.empty()) {
        fields.Null("matches_start");
    } else {
        fields.Bool("matches_start",
                    sent.Sha256 == start.digest->sha256 &&
                        sent.SizeBytes == static_cast<long long>(start.digest->size_bytes));
    }
    return fields;
}

// The fields that say what the run was given: tool, host, port, device, baud and the images.
JsonObject RunFields(const RunStart& start, const std::vector<SentImage>& sent) {
    JsonObject fields;
    fields.String("tool", "vantor-cli")
        .String("version", VANTOR_VERSION)
        .String("command", start.command)
        .String("host", start.host)
        .String("port", start.port)
        .StringOrNull("device", Known(start.device))
        .StringOrNull("usb_serial", Known(start.usb_serial))
        .Integer("baud", start.baud);
    if (!start.port_source.empty()) {
        fields.String("port_source", start.port_source).String("baud_source", start.baud_source);
    }
    AddUnitFields(fields, start.unit);
    if (start.command != "download") {
        return fields;
    }
    const bool one_image = start.files_list.empty();
    fields
        .StringOrNull("image", one_image && !start.images.empty()
                                   ? std::optional(start.images.front().path)
                                   : std::nullopt)
        .StringOrNull("files_list", Known(start.files_list))
        .StringOrNull("files_list_sha256", start.files_list_digest
                                               ? std::optional(start.files_list_digest->sha256)
                                               : std::nullopt)
        .Array("images", ImagesFields(start, sent));
    return fields;
}

}  // namespace

JsonArray ImagesFields(const RunStart& start, const std::vector<SentImage>& sent) {
    JsonArray images;
    for (std::size_t index = 0; index < start.images.size(); ++index) {
        const ImageEntry& image = start.images[index];
        JsonObject fields;
        if (!start.files_list.empty()) {
            fields.Integer("line", static_cast<long long>(index + 1)).String("label", image.label);
        }
        fields.String("path", image.path);
        AddDigest(fields, image.digest);
        fields.IntegerOrNull("declared_packets", image.declared_packets);
        // The download opens the images in the order of the list and stops at the first that
        // fails, so the tally's n-th image is the n-th line.
        if (index < sent.size() && sent[index].Path == image.path) {
            fields.Object("sent", SentFields(sent[index], image));
        } else {
            fields.Null("sent");
        }
        images.Object(fields);
    }
    return images;
}

std::string IsoUtc(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(when);
    const auto day = floor<days>(millis);
    const year_month_day date{day};
    const hh_mm_ss time{millis - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
        static_cast<int>(time.seconds().count()), static_cast<int>(time.subseconds().count()));
    return text;
}

JsonObject StartFields(const RunStart& start) {
    JsonObject fields;
    fields.String("tool", "vantor-cli")
        .String("version", VANTOR_VERSION)
        .String("command", start.command)
        .String("port", start.port)
        .StringOrNull("device", start.device.empty() ? std::nullopt : std::optional(start.device))
        .Integer("baud", start.baud);
    if (!start.port_source.empty()) {
        fields.String("port_source", start.port_source).String("baud_source", start.baud_source);
    }
    AddUnitFields(fields, start.unit);
    if (start.command != "download") {
        return fields;
    }
    if (start.files_list.empty()) {
        const ImageEntry& image = start.images.front();
        fields.String("image", image.path);
        AddDigest(fields, image.digest);
        fields.IntegerOrNull("declared_packets", image.declared_packets);
        return fields;
    }
    fields.String("files_list", start.files_list)
        .StringOrNull("files_list_sha256", start.files_list_digest
                                               ? std::optional(start.files_list_digest->sha256)
                                               : std::nullopt)
        .Integer("lines", static_cast<long long>(start.images.size()));
    return fields;
}

JsonObject StartLineFields(const RunStart& start, std::size_t index) {
    const ImageEntry& image = start.images.at(index);
    JsonObject fields;
    fields.Integer("line", static_cast<long long>(index + 1))
        .String("label", image.label)
        .String("path", image.path);
    AddDigest(fields, image.digest);
    fields.IntegerOrNull("declared_packets", image.declared_packets);
    return fields;
}

JsonObject SummaryFields(const RunSummary& summary) {
    const JobRecord& record = summary.record;
    const int ident = record.IdentWord;
    const DownloadTally& tally = record.Download;
    const int address = record.Link.AnsweredAddress;
    const auto known = [](int value) {
        return value >= 0 ? std::optional<long long>(value) : std::nullopt;
    };
    JsonObject fields;
    fields.String("result", summary.result)
        .Integer("status", summary.exit_status)
        .Integer("job_result", summary.job_result)
        .String("meaning", summary.meaning)
        .String("detail", summary.detail)
        .Bool("strict", summary.strict)
        .String("started", IsoUtc(summary.started))
        .String("ended", IsoUtc(summary.ended))
        .Fixed3("duration_s",
                std::chrono::duration<double>(summary.ended - summary.started).count())
        .IntegerOrNull("ident_word", known(ident))
        .IntegerOrNull("hardware_revision", IdentPart(ident, 12, 0xF))
        .IntegerOrNull("version_major", IdentPart(ident, 6, 0x3F))
        .IntegerOrNull("version_minor", IdentPart(ident, 0, 0x3F))
        .IntegerOrNull("address", known(address))
        .Integer("images_total", summary.images_total)
        .Integer("images_downloaded", tally.ImagesDownloaded)
        .Integer("packets_sent", tally.PacketsSent)
        .Integer("acknowledged_first_send", tally.AckedAtSend[0])
        .Integer("acknowledged_second_send", tally.AckedAtSend[1])
        .Integer("acknowledged_third_send", tally.AckedAtSend[2])
        .Integer("resynchronisations", record.Link.Resyncs)
        .Integer("protected_memory_warnings", tally.ProtectedWarnings)
        .Integer("missing_responses", tally.MissingResponses)
        .Integer("unrecognised_responses", tally.UnrecognisedResponses)
        .Integer("invalid_command_responses", tally.InvalidCommandResponses)
        .Integer("late_responses_dropped", tally.LateResponsesDropped)
        .Bool("nothing_answered", summary.nothing_answered)
        .Bool("refused", summary.refused)
        .Append(RunFields(summary.start, tally.Images));
    return fields;
}

Result<void> ReportPlaceProblem(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    // A symbolic link is judged by the file it leads to, which is where the report goes.
    if (fs::is_symlink(fs::symlink_status(path, ignored)) && !fs::exists(path, ignored)) {
        const fs::path leads_to = fs::read_symlink(path, ignored);
        return Failure{
            "it is a symbolic link to \"" + leads_to.string() +
            "\", which leads to nothing (the link is left as it is): give another path, or "
            "make the link lead to a folder that exists"};
    }
    const fs::path target = fs::is_symlink(fs::symlink_status(path, ignored))
                                ? fs::canonical(path, ignored)
                                : fs::path(path);
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    const fs::file_status folder_status = fs::status(folder, ignored);
    if (!fs::exists(folder_status)) {
        return Failure{"the folder \"" + folder.string() + "\" does not exist"};
    }
    if (!fs::is_directory(folder_status)) {
        return Failure{"\"" + folder.string() + "\" is not a folder"};
    }
    const fs::file_status target_status = fs::status(target, ignored);
    if (fs::exists(target_status) && !fs::is_regular_file(target_status)) {
        return Failure{"not a regular file"};
    }
    if (fs::exists(target_status) && !HoldsAReport(target.string())) {
        return Failure{
            "the file there is not a report of vantor-cli (it does not begin as one), "
            "and a run replaces only its own reports: give another path, or move the file "
            "away"};
    }
    // A name of its own beside the target, created and removed again: the folder takes a file.
    const std::string place = target.string();
    static unsigned serial = 0;
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; attempt < 16; ++attempt) {
        // Short, so that a name the report's own temporary file fits never fails here.
        const std::string probe =
            place + ".chk" + std::to_string(stamp % 1000000) + "-" + std::to_string(serial++);
        if (fs::exists(fs::symlink_status(probe, ignored))) {
            continue;
        }
        std::FILE* file = std::fopen(probe.c_str(), "wb");
        if (file == nullptr) {
            return Failure{"no file can be created in \"" + folder.string() +
                           "\": " + std::strerror(errno)};
        }
        std::fclose(file);
        std::remove(probe.c_str());
        return {};
    }
    return Failure{"no file can be created in \"" + folder.string() + "\""};
}

Result<void> WriteReportOrWithdraw(const std::string& path, const std::string& json) {
    namespace fs = std::filesystem;
    const auto written = platform::WriteFileAtomically(path, json + "\n");
    if (written) {
        return {};
    }
    const std::string& error = written.reason();
    std::error_code failure;
    // A link stays: the report it leads to is the one withdrawn, and only a report is.
    const std::string place = fs::is_symlink(fs::symlink_status(path, failure))
                                  ? fs::canonical(path, failure).string()
                                  : path;
    const fs::file_status old = fs::symlink_status(place, failure);
    if (failure || !fs::exists(old)) {
        return Failure{error};
    }
    if (!fs::is_regular_file(old) || !HoldsAReport(place)) {
        return Failure{error + "; what is at that path is not a report and was left as it is"};
    }
    if (fs::remove(place, failure)) {
        return Failure{error + "; the report of an earlier run that was there has been removed"};
    }
    // A folder that takes no change may still hold a file this process can write.
    fs::resize_file(place, 0, failure);
    if (!failure) {
        return Failure{error + "; the report of an earlier run that was there has been emptied"};
    }
    return Failure{error + "; the report of an earlier run that is there could not be removed (" +
                   failure.message() + ") and does not describe this run"};
}

}  // namespace vantor::records
