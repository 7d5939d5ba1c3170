#include "serve/serve_history.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "records/history_database.h"
#include "records/json_reader.h"
#include "records/json_writer.h"

namespace vantor::serve {

namespace {

// The columns shown, with the first image's path and digest.
// The columns shown, with the first image's path and digest.
constexpr const char* kLatestRuns =
    "SELECT r.id, r.started, r.ended, r.host, r.port, r.device, r.result, r.exit_status,"
    " r.ident_word, r.drive_version, r.address, r.packets_sent, r.record,"
    " (SELECT i.path FROM run_images i WHERE i.run_id = r.id ORDER BY i.position LIMIT 1),"
    " (SELECT i.sha256 FROM run_images i WHERE i.run_id = r.id ORDER BY i.position LIMIT 1),"
    " r.command, r.user_name, r.hardware_revision, r.protected_memory_warnings,"
    " r.missing_responses, r.unrecognised_responses, r.invalid_command_responses,"
    " r.resynchronisations, ";
// The unit's columns, in a history that has them; an older one is read as it is.
constexpr const char* kUnitColumns =
    "r.unit_serial, r.operator_name, r.work_order, r.station_label";
constexpr const char* kNoUnitColumns = "NULL, NULL, NULL, NULL";
constexpr const char* kLatestRunsEnd = " FROM runs r ORDER BY r.started DESC, r.id LIMIT ";

std::optional<long long> NumberOf(const records::SqlValue& value) {
    return value ? std::optional<long long>(std::strtoll(value->c_str(), nullptr, 10))
                 : std::nullopt;
}

// What the run met on its way, as the history counts it.
records::JsonObject WarningsOf(const records::SqlRow& row) {
    return records::JsonObject()
        .IntegerOrNull("protected_memory", NumberOf(row[18]))
        .IntegerOrNull("missing_responses", NumberOf(row[19]))
        .IntegerOrNull("unrecognised_responses", NumberOf(row[20]))
        .IntegerOrNull("invalid_command_responses", NumberOf(row[21]))
        .IntegerOrNull("resynchronisations", NumberOf(row[22]));
}

Answer Unreadable(const std::string& why) {
    return {503,
            records::JsonObject().String("error", "the history cannot be read: " + why).Text()};
}

}  // namespace

Answer LatestRuns(const std::string& place, long limit) {
    if (!records::IsPostgresUrl(place)) {
        std::error_code ignored;
        if (!std::filesystem::exists(place, ignored)) {
            return {200, "[]"};  // no run has been recorded yet
        }
    }
    const records::OpenedHistory opened =
        records::IsPostgresUrl(place) ? records::ConnectPostgresHistory(place)
                                      : records::OpenSqliteHistory(place, records::OpenFor::kRead);
    if (!opened) {
        return Unreadable(opened.reason());
    }
    records::HistoryDatabase& database = **opened;
    if (Result<void> readable = records::CheckSchemaForReading(database); !readable) {
        return Unreadable(readable.reason());
    }
    std::vector<records::SqlRow> rows;
    const bool unit_columns = records::ReadSchemaVersion(database) >= records::kUnitColumnsSchema;
    const std::string query = std::string(kLatestRuns) +
                              (unit_columns ? kUnitColumns : kNoUnitColumns) + kLatestRunsEnd +
                              std::to_string(limit);
    if (Result<void> read = database.Run(query, {}, &rows); !read) {
        return Unreadable(read.reason());
    }
    records::JsonArray runs;
    for (const records::SqlRow& row : rows) {
        const std::string record = row[12].value_or("");
        runs.Object(records::JsonObject()
                        .StringOrNull("id", row[0])
                        .StringOrNull("started", row[1])
                        .StringOrNull("ended", row[2])
                        .StringOrNull("host", row[3])
                        .StringOrNull("port", row[4])
                        .StringOrNull("device", row[5])
                        .StringOrNull("result", row[6])
                        .IntegerOrNull("exit_status", NumberOf(row[7]))
                        .IntegerOrNull("ident_word", NumberOf(row[8]))
                        .StringOrNull("drive_version", row[9])
                        .IntegerOrNull("address", NumberOf(row[10]))
                        .IntegerOrNull("packets_sent", NumberOf(row[11]))
                        .StringOrNull("detail", records::JsonMembers(record).String("detail"))
                        .StringOrNull("image", row[13])
                        .StringOrNull("image_sha256", row[14])
                        .StringOrNull("command", row[15])
                        .StringOrNull("user", row[16])
                        .IntegerOrNull("hardware_revision", NumberOf(row[17]))
                        .Object("warnings", WarningsOf(row))
                        .StringOrNull("unit_serial", row[23])
                        .StringOrNull("operator", row[24])
                        .StringOrNull("order", row[25])
                        .StringOrNull("station_label", row[26]));
    }
    return {200, runs.Text()};
}

}  // namespace vantor::serve
