// The latest runs of the history that the served line's stations write to, for /api/history.
#pragma once

#include <string>

#include "serve/line_control.h"

namespace vantor::serve {

inline constexpr long kMostHistoryRecords = 1000;

// The latest `limit` runs of the history at `place` (a SQLite file or a postgresql:// URL),
// newest first, as a JSON array; an empty array when the file has not been made yet; 503 when
// it cannot be read.
Answer LatestRuns(const std::string& place, long limit);

}  // namespace vantor::serve
