#include "cli/record/run_record.h"

#include <cstdio>

#include "platform/store_file.h"

namespace vantor::cli {

namespace {

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

}  // namespace

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
        .Bool("nothing_answered", summary.nothing_answered);
    return fields;
}

bool WriteReportFile(const std::string& path, const std::string& json, std::string* error) {
    return platform::WriteFileAtomically(path, json + "\n", error);
}

}  // namespace vantor::cli
