// One run as the history keeps it: the fields a quality engineer asks about, each image the run
// was given, and the whole run record as JSON for anything else.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/run_record.h"
#include "records/unit_fields.h"

namespace vantor::records {

struct HistoryImage {
    std::string path;
    std::optional<long long> size_bytes;
    std::string sha256;  // empty when the file could not be read
    std::optional<long long> declared_packets;
    std::optional<long long> packets_sent;  // nothing when the job did not send it
    std::string sent_sha256;                // the bytes as sent; empty when not sent
};

struct HistoryEntry {
    std::string id;  // a UUID made at the run: the record's key wherever it is kept
    std::string started;
    std::string ended;  // both ISO 8601 UTC with milliseconds
    std::string host;
    std::string user_name;  // the system user the run ran as, whoever the operator was
    std::string tool;
    std::string tool_version;
    std::string command;
    std::string port;
    std::string device;
    std::string usb_serial;
    long long baud = 0;
    std::string result;
    long long exit_status = 0;
    std::optional<long long> ident_word;
    std::optional<long long> hardware_revision;
    std::string drive_version;  // the boot loader's "major.minor"; empty when not identified
    std::optional<long long> address;
    long long packets_sent = 0;
    long long protected_memory_warnings = 0;
    long long missing_responses = 0;
    long long unrecognised_responses = 0;
    long long invalid_command_responses = 0;
    long long resynchronisations = 0;
    std::vector<HistoryImage> images;
    std::string record;  // the summary event as the run wrote it
    UnitFields unit;     // the unit, the operator as given, the order and the station's label
};

// The entry of a run that has ended, from its summary.
HistoryEntry EntryFromSummary(const RunSummary& summary);
// A new random (version 4) UUID.
std::string NewRecordId();
// The operator: the user the program runs as.
std::string OperatorName();

}  // namespace vantor::records
