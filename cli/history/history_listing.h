// What vantor-cli history prints: the runs as a table, JSON lines or CSV, each run printed as
// its rows come from the database, and the counts per station and per image.
#pragma once

#include "cli/history/history_query.h"
#include "records/history_database.h"

namespace vantor::cli {

enum class ListFormat { kTable, kJson, kCsv };

// Prints the runs that match `filters`, newest first; the database's message when the query
// failed (what was printed before stays).
std::optional<std::string> PrintRuns(records::HistoryDatabase& database,
                                     const HistoryFilters& filters, ListFormat format);
// Prints the runs, successes and failure rate per station (host and port) and per image.
std::optional<std::string> PrintCounts(records::HistoryDatabase& database,
                                       const HistoryFilters& filters, ListFormat format);

}  // namespace vantor::cli
