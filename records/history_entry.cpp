#include "records/history_entry.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace vantor::records {

namespace {

std::optional<long long> Known(int value) {
    return value >= 0 ? std::optional<long long>(value) : std::nullopt;
}

// An image the run was given, with what of it the job sent (the job sends the images in the
// order of the list and stops at the first that fails).
HistoryImage ImageOfRun(const ImageEntry& given, std::size_t index, const DownloadTally& tally) {
    HistoryImage image;
    image.path = given.path;
    if (given.digest) {
        image.size_bytes = static_cast<long long>(given.digest->size_bytes);
        image.sha256 = given.digest->sha256;
    }
    if (given.declared_packets) {
        image.declared_packets = *given.declared_packets;
    }
    if (index < tally.Images.size() && tally.Images[index].Path == given.path) {
        image.packets_sent = tally.Images[index].PacketsSent;
        // The digest is of the bytes read, and names what the drive got only when some went
        // out: an image refused at its header (another revision) reached no drive.
        if (image.packets_sent > 0) {
            image.sent_sha256 = tally.Images[index].Sha256;
        }
    }
    return image;
}

}  // namespace

std::string NewRecordId() {
    std::random_device source;
    unsigned char bytes[16];
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(source() & 0xFF);
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    std::string text;
    for (int index = 0; index < 16; ++index) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", bytes[index]);
        text += hex;
        if (index == 3 || index == 5 || index == 7 || index == 9) {
            text += '-';
        }
    }
    return text;
}

std::string OperatorName() {
    if (const passwd* entry = ::getpwuid(::geteuid()); entry != nullptr && entry->pw_name) {
        return entry->pw_name;
    }
    for (const char* name : {"USER", "LOGNAME"}) {
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0') {
            return value;
        }
    }
    return std::to_string(::geteuid());
}

HistoryEntry EntryFromSummary(const RunSummary& summary) {
    const JobRecord& record = summary.record;
    const DownloadTally& tally = record.Download;
    const RunStart& start = summary.start;
    HistoryEntry entry;
    entry.id = NewRecordId();
    entry.started = IsoUtc(summary.started);
    entry.ended = IsoUtc(summary.ended);
    entry.host = start.host;
    entry.user_name = OperatorName();
    entry.tool = "vantor-cli";
    entry.tool_version = VANTOR_VERSION;
    entry.command = start.command;
    entry.port = start.port;
    entry.device = start.device;
    entry.usb_serial = start.usb_serial;
    entry.baud = start.baud;
    entry.unit = start.unit;
    // A run refused before its port was opened is no failure of the station or the drive.
    entry.result =
        summary.refused && summary.result == kResultFailed ? kResultRefused : summary.result;
    entry.exit_status = summary.exit_status;
    const int ident = record.IdentWord;
    if (ident >= 0) {
        entry.ident_word = ident;
        entry.hardware_revision = (ident >> 12) & 0xF;
        entry.drive_version =
            std::to_string((ident >> 6) & 0x3F) + "." + std::to_string(ident & 0x3F);
    }
    entry.address = Known(record.Link.AnsweredAddress);
    entry.packets_sent = tally.PacketsSent;
    entry.protected_memory_warnings = tally.ProtectedWarnings;
    entry.missing_responses = tally.MissingResponses;
    entry.unrecognised_responses = tally.UnrecognisedResponses;
    entry.invalid_command_responses = tally.InvalidCommandResponses;
    entry.resynchronisations = record.Link.Resyncs;
    for (std::size_t index = 0; index < start.images.size(); ++index) {
        entry.images.push_back(ImageOfRun(start.images[index], index, tally));
    }
    entry.record = JsonObject().String("event", "summary").Append(SummaryFields(summary)).Text();
    return entry;
}

}  // namespace vantor::records
