#include "cli/record/run_record.h"

#include <cstdio>

#include "cli/console/json_writer.h"
#include "platform/store_file.h"

namespace vantor::cli {

namespace {

std::string Field(const char* name, const std::string& json_value) {
    return std::string(",\"") + name + "\":" + json_value;
}

std::string Number(long long value) {
    return std::to_string(value);
}

// A number, or null when it is not known.
std::string NumberOrNull(int value, bool known) {
    return known ? Number(value) : "null";
}

std::string DigestFields(const std::optional<FileDigest>& digest) {
    if (!digest) {
        return Field("size_bytes", "null") + Field("sha256", "null");
    }
    return Field("size_bytes", Number(digest->size_bytes)) +
           Field("sha256", JsonString(digest->sha256));
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

std::string StartFields(const RunStart& start) {
    std::string fields = "\"tool\":\"vantor-cli\"" + Field("version", JsonString(VANTOR_VERSION)) +
                         Field("command", JsonString(start.command)) +
                         Field("port", JsonString(start.port)) +
                         Field("device", start.device.empty() ? "null" : JsonString(start.device)) +
                         Field("baud", Number(start.baud));
    if (start.command != "download") {
        return fields;
    }
    if (start.files_list.empty()) {
        const ImageEntry& image = start.images.front();
        fields += Field("image", JsonString(image.path)) + DigestFields(image.digest) +
                  Field("declared_packets", NumberOrNull(image.declared_packets.value_or(0),
                                                         image.declared_packets.has_value()));
        return fields;
    }
    fields += Field("files_list", JsonString(start.files_list));
    fields += Field("files_list_sha256",
                    start.files_list_digest ? JsonString(start.files_list_digest->sha256) : "null");
    return fields + Field("lines", Number(static_cast<long long>(start.images.size())));
}

std::string StartLineFields(const RunStart& start, std::size_t index) {
    const ImageEntry& image = start.images.at(index);
    return "\"line\":" + Number(static_cast<long long>(index + 1)) +
           Field("label", JsonString(image.label)) + Field("path", JsonString(image.path)) +
           DigestFields(image.digest) +
           Field("declared_packets", NumberOrNull(image.declared_packets.value_or(0),
                                                  image.declared_packets.has_value()));
}

std::string SummaryFields(const RunSummary& summary) {
    const JobRecord& record = summary.record;
    const bool identified = record.IdentWord >= 0;
    const int ident = identified ? record.IdentWord : 0;
    const DownloadTally& tally = record.Download;
    const double duration_s =
        std::chrono::duration<double>(summary.ended - summary.started).count();
    char duration[32];
    std::snprintf(duration, sizeof duration, "%.3f", duration_s);
    return "\"result\":" + JsonString(summary.result) +
           Field("status", Number(summary.exit_status)) +
           Field("job_result", Number(summary.job_result)) +
           Field("meaning", JsonString(summary.meaning)) +
           Field("detail", JsonString(summary.detail)) +
           Field("strict", summary.strict ? "true" : "false") +
           Field("started", JsonString(IsoUtc(summary.started))) +
           Field("ended", JsonString(IsoUtc(summary.ended))) + Field("duration_s", duration) +
           Field("ident_word", NumberOrNull(ident, identified)) +
           Field("hardware_revision", NumberOrNull((ident >> 12) & 0xF, identified)) +
           Field("version_major", NumberOrNull((ident >> 6) & 0x3F, identified)) +
           Field("version_minor", NumberOrNull(ident & 0x3F, identified)) +
           Field("address",
                 NumberOrNull(record.Link.AnsweredAddress, record.Link.AnsweredAddress >= 0)) +
           Field("images_total", Number(summary.images_total)) +
           Field("images_downloaded", Number(tally.ImagesDownloaded)) +
           Field("packets_sent", Number(tally.PacketsSent)) +
           Field("acknowledged_first_send", Number(tally.AckedAtSend[0])) +
           Field("acknowledged_second_send", Number(tally.AckedAtSend[1])) +
           Field("acknowledged_third_send", Number(tally.AckedAtSend[2])) +
           Field("resynchronisations", Number(record.Link.Resyncs)) +
           Field("protected_memory_warnings", Number(tally.ProtectedWarnings)) +
           Field("missing_responses", Number(tally.MissingResponses)) +
           Field("unrecognised_responses", Number(tally.UnrecognisedResponses)) +
           Field("late_responses_dropped", Number(tally.LateResponsesDropped)) +
           Field("nothing_answered", summary.nothing_answered ? "true" : "false");
}

bool WriteReportFile(const std::string& path, const std::string& json, std::string* error) {
    return platform::WriteFileAtomically(path, json + "\n", error);
}

}  // namespace vantor::cli
