// The questions the history command puts to a history, as SQL that both databases answer
// through their indexes: the runs that match the filters, newest first, each with its images,
// and the counts per station and per image.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/history_database.h"

namespace vantor::cli {

struct HistoryFilters {
    std::optional<std::string> since, until;  // started at or after, and before
    std::optional<std::string> port;
    std::optional<std::string> result;  // "success", "failed", "interrupted", "refused", "failure"
    std::optional<std::string> image_sha256;  // given to the run or sent by it
    std::optional<std::string> unit_serial;
    std::optional<std::string> order;
    // The operator as given, or, for a run given none, the system user it ran as.
    std::optional<std::string> operator_name;
    long limit = 0;  // at most this many runs; 0 for all
    // The history's schema: one older than kUnitColumnsSchema has no unit columns, which then
    // read as NULL (and match no filter of them).
    int schema_version = records::kUnitColumnsSchema;
};

// The run columns that a listing gives, in the order of ListSql's rows.
const std::vector<const char*>& ListedRunColumns();
// The name a listing gives column `column` of ListedRunColumns: the record's own (operator,
// order) where the column's differs.
const char* ListedRunKey(std::size_t column);
// Each row: the run's columns (ListedRunColumns), then one image's path, size_bytes, sha256,
// declared_packets, packets_sent and sent_sha256 (all NULL for a run without images). A run
// with several images gives as many rows, one after the other, in the images' order; the
// runs come newest first.
std::string ListSql(const HistoryFilters& filters, std::vector<records::SqlValue>& values);
// Rows of host, port and the counts of the runs by host and port: runs, successes,
// interrupted, identify runs, refused, failed downloads, and downloads that ended by themselves
// (success or failed).
std::string StationCountsSql(const HistoryFilters& filters, std::vector<records::SqlValue>& values);
// Rows of sha256 and the same counts, by the SHA-256 of the images given to the runs.
std::string ImageCountsSql(const HistoryFilters& filters, std::vector<records::SqlValue>& values);

}  // namespace vantor::cli
