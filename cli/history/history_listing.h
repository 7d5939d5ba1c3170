// What vantor-cli history prints: the runs as a table, JSON lines or CSV, each run printed as
// its rows come from the database, and the counts per station and per image.
#pragma once

#include "cli/history/history_query.h"
#include "records/history_database.h"

namespace vantor::cli {

enum class ListFormat { kTable, kJson, kCsv };

// Prints the runs that match `filters`, newest first; the database's message when the query
// failed (what was printed before stays).
Result<void> PrintRuns(records::HistoryDatabase& database, const HistoryFilters& filters,
                       ListFormat format);
// Prints the runs, successes and failure rate per station (host and port) and per image; the
// database's message when a query failed.
Result<void> PrintCounts(records::HistoryDatabase& database, const HistoryFilters& filters,
                         ListFormat format);

}  // namespace vantor::cli
