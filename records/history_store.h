// Where a run's record goes and how it gets there: the station's SQLite file by default, or a
// site's PostgreSQL database, with the station's file holding what the site could not take yet
// until it can.
#pragma once

#include <optional>
#include <string>

#include "records/history_database.h"
#include "records/history_entry.h"

namespace vantor::records {

// $XDG_DATA_HOME/vantor/history.sqlite, or ~/.local/share/vantor/history.sqlite.
std::string DefaultHistoryPath();
// The history chosen by --history (`option`), else VANTOR_HISTORY, else the default file.
std::string ChosenHistory(const std::string& option);

struct RecordOutcome {
    bool written = false;  // in the chosen history
    bool queued = false;   // kept in the station's file for the site's database
    int forwarded = 0;     // earlier records that reached the site's database now
    std::string place;     // shown without a password
    std::string error;     // why it was not written
};

// Writes `entry` to `place` (a SQLite file or a postgresql:// URL), in one transaction. A site's
// database that cannot be reached leaves the record queued in the station's file; what was
// queued before goes first, in order.
RecordOutcome RecordEntry(const HistoryEntry& entry, const std::string& place);

struct SyncOutcome {
    int forwarded = 0;
    int waiting = 0;  // still queued
    std::string error;
};
// Forwards the station's queue to the site's database at `url`, oldest first, each record once.
SyncOutcome ForwardQueue(const std::string& url);

// Writes `entry` with `origin` ("direct" or "forwarded") into `database`, in one transaction;
// a record whose id is there already is left as it is.
Result<void> InsertEntry(HistoryDatabase& database, const HistoryEntry& entry,
                         const std::string& origin);

}  // namespace vantor::records
