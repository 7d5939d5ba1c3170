#include "cli/history/history_query.h"

namespace vantor::cli {

namespace {

// The columns that version 3 of the schema added.
bool IsUnitColumn(const std::string& column) {
    return column == "unit_serial" || column == "operator_name" || column == "work_order" ||
           column == "station_label";
}

constexpr const char* kImageColumns =
    "i.path, i.size_bytes, i.sha256, i.declared_packets, i.packets_sent, i.sent_sha256";

// The filters as SQL over runs r, with their values: each one a search of an index.
std::string Where(const HistoryFilters& filters, std::vector<records::SqlValue>& values) {
    std::string where = " WHERE 1 = 1";
    if (filters.since) {
        where += " AND r.started >= ?";
        values.push_back(*filters.since);
    }
    if (filters.until) {
        where += " AND r.started < ?";
        values.push_back(*filters.until);
    }
    if (filters.port) {
        where += " AND r.port = ?";
        values.push_back(*filters.port);
    }
    if (filters.result) {
        // A run's result is success, failed, interrupted or refused; failure is any of the
        // last three, a list of values, which an index serves where "not success" would not.
        const std::string& result = *filters.result;
        where += result == "success"       ? " AND r.result = 'success'"
                 : result == "failed"      ? " AND r.result = 'failed'"
                 : result == "interrupted" ? " AND r.result = 'interrupted'"
                 : result == "refused"     ? " AND r.result = 'refused'"
                                       : " AND r.result IN ('failed', 'interrupted', 'refused')";
    }
    const bool unit_columns = filters.schema_version >= records::kUnitColumnsSchema;
    if (filters.unit_serial) {
        where += unit_columns ? " AND r.unit_serial = ?" : " AND NULL = CAST(? AS TEXT)";
        values.push_back(*filters.unit_serial);
    }
    if (filters.order) {
        where += unit_columns ? " AND r.work_order = ?" : " AND NULL = CAST(? AS TEXT)";
        values.push_back(*filters.order);
    }
    if (filters.operator_name && unit_columns) {
        // Each by its index: the operator as given, or the system user of a run given none.
        where +=
            " AND r.id IN (SELECT id FROM runs WHERE operator_name = ?"
            " UNION SELECT id FROM runs WHERE operator_name IS NULL AND user_name = ?)";
        values.push_back(*filters.operator_name);
        values.push_back(*filters.operator_name);
    } else if (filters.operator_name) {
        where += " AND r.user_name = ?";
        values.push_back(*filters.operator_name);
    }
    if (filters.image_sha256) {
        // Each digest by its own index; one test of both (sha256 = ? OR sent_sha256 = ?) would
        // look at every run's images.
        where +=
            " AND r.id IN (SELECT run_id FROM run_images WHERE sha256 = ?"
            " UNION SELECT run_id FROM run_images WHERE sent_sha256 = ?)";
        values.push_back(*filters.image_sha256);
        values.push_back(*filters.image_sha256);
    }
    return where;
}

// The listed columns of `table`; those an older schema has not, NULL under their names.
std::string RunColumns(const char* table, int schema_version) {
    std::string columns;
    for (const char* column : ListedRunColumns()) {
        columns += columns.empty() ? "" : ", ";
        columns += schema_version < records::kUnitColumnsSchema && IsUnitColumn(column)
                       ? std::string("NULL AS ") + column
                       : std::string(table) + "." + column;
    }
    return columns;
}

}  // namespace

const std::vector<const char*>& ListedRunColumns() {
    static const std::vector<const char*> columns = {
        "id",
        "started",
        "ended",
        "host",
        "user_name",
        "tool_version",
        "command",
        "port",
        "device",
        "usb_serial",
        "baud",
        "result",
        "exit_status",
        "ident_word",
        "hardware_revision",
        "drive_version",
        "address",
        "packets_sent",
        "protected_memory_warnings",
        "missing_responses",
        "unrecognised_responses",
        "invalid_command_responses",
        "resynchronisations",
        "origin",
        "unit_serial",
        "operator_name",
        "work_order",
        "station_label",
    };
    return columns;
}

const char* ListedRunKey(std::size_t column) {
    const std::string name = ListedRunColumns().at(column);
    return name == "operator_name" ? "operator"
           : name == "work_order"  ? "order"
                                   : ListedRunColumns()[column];
}

std::string ListSql(const HistoryFilters& filters, std::vector<records::SqlValue>& values) {
    const std::string where = Where(filters, values);
    if (filters.limit <= 0) {
        return "SELECT " + RunColumns("r", filters.schema_version) + ", " + kImageColumns +
               " FROM runs r LEFT JOIN run_images i ON i.run_id = r.id" + where +
               " ORDER BY r.started DESC, r.id DESC, i.position";
    }
    // The latest runs first, their images then: a limit counts runs, not rows.
    return "SELECT " + RunColumns("latest", records::kUnitColumnsSchema) + ", " + kImageColumns +
           " FROM (SELECT " + RunColumns("r", filters.schema_version) + " FROM runs r" + where +
           " ORDER BY r.started DESC, r.id DESC LIMIT " + std::to_string(filters.limit) +
           ") latest LEFT JOIN run_images i ON i.run_id = latest.id"
           " ORDER BY latest.started DESC, latest.id DESC, i.position";
}

// The counts of a group of runs: all of them, their successes, those the operator stopped,
// the identify runs, the runs refused before their port was opened, and of the downloads that
// ended by themselves, how many failed and how many there were.
constexpr const char* kCounts =
    "count(*), sum(CASE WHEN r.result = 'success' THEN 1 ELSE 0 END),"
    " sum(CASE WHEN r.result = 'interrupted' THEN 1 ELSE 0 END),"
    " sum(CASE WHEN r.command = 'identify' THEN 1 ELSE 0 END),"
    " sum(CASE WHEN r.result = 'refused' THEN 1 ELSE 0 END),"
    " sum(CASE WHEN r.result = 'failed' AND r.command <> 'identify' THEN 1 ELSE 0 END),"
    " sum(CASE WHEN r.result IN ('success', 'failed') AND r.command <> 'identify'"
    " THEN 1 ELSE 0 END)";
// The same for the runs of an image: a run that was given one image twice (a files list may
// name it twice) counts once.
constexpr const char* kDistinctCounts =
    "count(DISTINCT r.id), count(DISTINCT CASE WHEN r.result = 'success' THEN r.id END),"
    " count(DISTINCT CASE WHEN r.result = 'interrupted' THEN r.id END),"
    " count(DISTINCT CASE WHEN r.command = 'identify' THEN r.id END),"
    " count(DISTINCT CASE WHEN r.result = 'refused' THEN r.id END),"
    " count(DISTINCT CASE WHEN r.result = 'failed' AND r.command <> 'identify' THEN r.id END),"
    " count(DISTINCT CASE WHEN r.result IN ('success', 'failed') AND r.command <> 'identify'"
    " THEN r.id END)";

std::string StationCountsSql(const HistoryFilters& filters,
                             std::vector<records::SqlValue>& values) {
    return std::string("SELECT r.host, r.port, ") + kCounts + " FROM runs r" +
           Where(filters, values) + " GROUP BY r.host, r.port ORDER BY r.host, r.port";
}

std::string ImageCountsSql(const HistoryFilters& filters, std::vector<records::SqlValue>& values) {
    return std::string("SELECT i.sha256, ") + kDistinctCounts +
           " FROM run_images i JOIN runs r ON r.id = i.run_id" + Where(filters, values) +
           " GROUP BY i.sha256 ORDER BY i.sha256";
}

}  // namespace vantor::cli
