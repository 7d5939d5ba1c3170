#include "records/history_store.h"

#include <chrono>
#include <cstdlib>

namespace vantor::records {

namespace {

constexpr int kSchemaVersion = 4;

// Each migration brings the schema from the version before it to its own; the station's file
// also keeps the queue of records for a site's database.
enum class Applies { kEverywhere, kStationOnly, kSiteOnly };
struct Migration {
    int version;
    Applies applies;
    const char* sql;
};
constexpr Applies kEverywhere = Applies::kEverywhere;
constexpr Migration kMigrations[] = {
    {1, kEverywhere,
     "CREATE TABLE IF NOT EXISTS runs ("
     " id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT NOT NULL, host TEXT,"
     " user_name TEXT, tool TEXT, tool_version TEXT, command TEXT NOT NULL, port TEXT,"
     " device TEXT, usb_serial TEXT, baud BIGINT, result TEXT NOT NULL,"
     " exit_status BIGINT NOT NULL, ident_word BIGINT, hardware_revision BIGINT,"
     " drive_version TEXT, address BIGINT, packets_sent BIGINT,"
     " protected_memory_warnings BIGINT, missing_responses BIGINT,"
     " unrecognised_responses BIGINT, invalid_command_responses BIGINT,"
     " resynchronisations BIGINT, origin TEXT NOT NULL, record TEXT NOT NULL)"},
    {1, kEverywhere,
     "CREATE TABLE IF NOT EXISTS run_images ("
     " run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE, position BIGINT NOT NULL,"
     " path TEXT, size_bytes BIGINT, sha256 TEXT, declared_packets BIGINT,"
     " packets_sent BIGINT, sent_sha256 TEXT, PRIMARY KEY (run_id, position))"},
    {1, kEverywhere, "CREATE INDEX IF NOT EXISTS runs_started ON runs (started)"},
    {1, kEverywhere, "CREATE INDEX IF NOT EXISTS run_images_sha256 ON run_images (sha256)"},
    {1, Applies::kStationOnly,
     "CREATE TABLE IF NOT EXISTS pending (sequence INTEGER PRIMARY KEY AUTOINCREMENT,"
     " run_id TEXT NOT NULL UNIQUE REFERENCES runs (id) ON DELETE CASCADE,"
     " destination TEXT NOT NULL)"},
    // Version 2: an index for every filter of the history command, and indexes that hold all
    // that the listing's order and the counts per station and per image read, so that none of
    // them reads the runs' rows with their whole records.
    {2, kEverywhere, "CREATE INDEX IF NOT EXISTS runs_started_id ON runs (started, id)"},
    {2, kEverywhere, "CREATE INDEX IF NOT EXISTS runs_port_started ON runs (port, started)"},
    {2, kEverywhere, "CREATE INDEX IF NOT EXISTS runs_result_started ON runs (result, started)"},
    {2, kEverywhere,
     "CREATE INDEX IF NOT EXISTS runs_station_counts ON runs (host, port, result, started)"},
    {2, kEverywhere,
     "CREATE INDEX IF NOT EXISTS runs_image_counts ON runs (id, result, started, port)"},
    {2, kEverywhere,
     "CREATE INDEX IF NOT EXISTS run_images_sent_sha256 ON run_images (sent_sha256)"},
    {2, kEverywhere, "DROP INDEX IF EXISTS runs_started"},
    // Version 3: the unit each run was for, who ran it (as given; user_name stays the system
    // user), the work order and the station's label, each NULL for the runs recorded before;
    // an index for each that the history command filters by. ("order" and "operator" are
    // words of SQL, hence the columns' longer names.)
    {3, kEverywhere, "ALTER TABLE runs ADD COLUMN unit_serial TEXT"},
    {3, kEverywhere, "ALTER TABLE runs ADD COLUMN operator_name TEXT"},
    {3, kEverywhere, "ALTER TABLE runs ADD COLUMN work_order TEXT"},
    {3, kEverywhere, "ALTER TABLE runs ADD COLUMN station_label TEXT"},
    {3, kEverywhere, "CREATE INDEX IF NOT EXISTS runs_unit_serial ON runs (unit_serial, started)"},
    {3, kEverywhere, "CREATE INDEX IF NOT EXISTS runs_work_order ON runs (work_order, started)"},
    {3, kEverywhere,
     "CREATE INDEX IF NOT EXISTS runs_operator ON runs (operator_name, user_name, started)"},
    // Version 4: a site's times as timestamptz, which PostgreSQL compares, sorts and shows as
    // times (the station's file keeps ISO 8601 text, which sorts as time does); the counts
    // per station and per image also read the command, to keep identify runs apart.
    {4, Applies::kSiteOnly,
     "ALTER TABLE runs ALTER COLUMN started TYPE timestamptz USING started::timestamptz,"
     " ALTER COLUMN ended TYPE timestamptz USING ended::timestamptz"},
    {4, kEverywhere,
     "CREATE INDEX IF NOT EXISTS runs_station_command_counts"
     " ON runs (host, port, result, command, started)"},
    {4, kEverywhere,
     "CREATE INDEX IF NOT EXISTS runs_image_command_counts"
     " ON runs (id, result, command, started, port)"},
    {4, kEverywhere, "DROP INDEX IF EXISTS runs_station_counts"},
    {4, kEverywhere, "DROP INDEX IF EXISTS runs_image_counts"},
};

constexpr const char* kInsertRun =
    "INSERT INTO runs (id, started, ended, host, user_name, tool, tool_version, command, port,"
    " device, usb_serial, baud, result, exit_status, ident_word, hardware_revision,"
    " drive_version, address, packets_sent, protected_memory_warnings, missing_responses,"
    " unrecognised_responses, invalid_command_responses, resynchronisations, origin, record,"
    " unit_serial, operator_name, work_order, station_label)"
    " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?,"
    " ?, ?, ?, ?)"
    " ON CONFLICT (id) DO NOTHING";
constexpr const char* kInsertImage =
    "INSERT INTO run_images (run_id, position, path, size_bytes, sha256, declared_packets,"
    " packets_sent, sent_sha256) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"
    " ON CONFLICT (run_id, position) DO NOTHING";
constexpr const char* kSelectRun =
    "SELECT id, started, ended, host, user_name, tool, tool_version, command, port, device,"
    " usb_serial, baud, result, exit_status, ident_word, hardware_revision, drive_version,"
    " address, packets_sent, protected_memory_warnings, missing_responses,"
    " unrecognised_responses, invalid_command_responses, resynchronisations, record,"
    " unit_serial, operator_name, work_order, station_label FROM runs WHERE id = ?";
constexpr const char* kSelectImages =
    "SELECT path, size_bytes, sha256, declared_packets, packets_sent, sent_sha256"
    " FROM run_images WHERE run_id = ? ORDER BY position";

SqlValue Text(const std::string& text) {
    return text.empty() ? std::nullopt : SqlValue(text);
}
SqlValue Number(std::optional<long long> number) {
    return number ? SqlValue(std::to_string(*number)) : std::nullopt;
}
std::string TextOf(const SqlValue& value) {
    return value.value_or("");
}
std::optional<long long> NumberOf(const SqlValue& value) {
    if (!value) {
        return std::nullopt;
    }
    return std::strtoll(value->c_str(), nullptr, 10);
}

std::optional<int> SchemaVersion(HistoryDatabase& database, bool table_known) {
    std::vector<SqlRow> rows;
    if (!table_known) {
        if (!database.Run("CREATE TABLE IF NOT EXISTS history_schema (version BIGINT NOT NULL)")) {
            return std::nullopt;
        }
    }
    if (!database.Run("SELECT max(version) FROM history_schema", {}, &rows) || rows.empty()) {
        return std::nullopt;
    }
    return static_cast<int>(NumberOf(rows[0][0]).value_or(0));
}

Result<void> Migrate(HistoryDatabase& database, bool station) {
    auto version = SchemaVersion(database, false);
    if (!version) {
        return Failure{"the schema version cannot be read"};
    }
    if (*version > kSchemaVersion) {
        return Failure{"its schema (version " + std::to_string(*version) +
                       ") is newer than this program's (" + std::to_string(kSchemaVersion) + ")"};
    }
    for (const Migration& migration : kMigrations) {
        const bool applies = migration.applies == Applies::kEverywhere ||
                             (migration.applies == Applies::kStationOnly) == station;
        if (migration.version > *version && applies) {
            if (Result<void> migrated = database.Run(migration.sql); !migrated) {
                return migrated;
            }
        }
    }
    if (*version < kSchemaVersion) {
        if (Result<void> deleted = database.Run("DELETE FROM history_schema"); !deleted) {
            return deleted;
        }
        return database.Run("INSERT INTO history_schema (version) VALUES (?)",
                            {std::to_string(kSchemaVersion)});
    }
    return {};
}

// Ends the transaction that gave `changed`: committed when it succeeded, rolled back when not.
Result<void> InTransaction(HistoryDatabase& database, const Result<void>& changed) {
    if (!changed) {
        // The failure is what the caller hears of; a ROLLBACK that fails as well adds nothing.
        (void)database.Run("ROLLBACK");
        return changed;
    }
    return database.Run("COMMIT");
}

// Runs `change` (one transaction on `database`, rolled back when it fails) again while what made
// it fail may go through when tried again, within kRetryForS. Each record has its own id and
// is inserted once whatever the tries (ON CONFLICT DO NOTHING), so a try whose COMMIT's answer
// was lost leaves one record too.
template <typename Change>
Result<void> Retried(HistoryDatabase& database, Change change) {
    const auto deadline = std::chrono::steady_clock::now() + kRetryForS;
    for (int tries = 1;; ++tries) {
        database.ForgetFailure();
        Result<void> changed = change();
        if (changed || !database.MayRetry() || !PauseBeforeRetry(tries, deadline)) {
            return changed;
        }
    }
}

std::optional<HistoryEntry> LoadEntry(HistoryDatabase& database, const std::string& id) {
    std::vector<SqlRow> rows;
    if (!database.Run(kSelectRun, {id}, &rows) || rows.size() != 1) {
        return std::nullopt;
    }
    const SqlRow& row = rows[0];
    HistoryEntry entry;
    entry.id = TextOf(row[0]);
    entry.started = TextOf(row[1]);
    entry.ended = TextOf(row[2]);
    entry.host = TextOf(row[3]);
    entry.user_name = TextOf(row[4]);
    entry.tool = TextOf(row[5]);
    entry.tool_version = TextOf(row[6]);
    entry.command = TextOf(row[7]);
    entry.port = TextOf(row[8]);
    entry.device = TextOf(row[9]);
    entry.usb_serial = TextOf(row[10]);
    entry.baud = NumberOf(row[11]).value_or(0);
    entry.result = TextOf(row[12]);
    entry.exit_status = NumberOf(row[13]).value_or(0);
    entry.ident_word = NumberOf(row[14]);
    entry.hardware_revision = NumberOf(row[15]);
    entry.drive_version = TextOf(row[16]);
    entry.address = NumberOf(row[17]);
    entry.packets_sent = NumberOf(row[18]).value_or(0);
    entry.protected_memory_warnings = NumberOf(row[19]).value_or(0);
    entry.missing_responses = NumberOf(row[20]).value_or(0);
    entry.unrecognised_responses = NumberOf(row[21]).value_or(0);
    entry.invalid_command_responses = NumberOf(row[22]).value_or(0);
    entry.resynchronisations = NumberOf(row[23]).value_or(0);
    entry.record = TextOf(row[24]);
    entry.unit = {TextOf(row[25]), TextOf(row[26]), TextOf(row[27]), TextOf(row[28])};
    std::vector<SqlRow> images;
    if (!database.Run(kSelectImages, {id}, &images)) {
        return std::nullopt;
    }
    for (const SqlRow& image_row : images) {
        entry.images.push_back({TextOf(image_row[0]), NumberOf(image_row[1]), TextOf(image_row[2]),
                                NumberOf(image_row[3]), NumberOf(image_row[4]),
                                TextOf(image_row[5])});
    }
    return entry;
}

// The history `opened`, its schema made or brought up to date; why not otherwise.
OpenedHistory Prepared(OpenedHistory opened) {
    if (opened) {
        if (Result<void> prepared = PrepareSchema(**opened); !prepared) {
            return Failure{prepared.reason()};
        }
    }
    return opened;
}

OpenedHistory OpenSite(const std::string& url) {
    return Prepared(ConnectPostgresHistory(url));
}

OpenedHistory OpenStation() {
    return Prepared(OpenSqliteHistory(DefaultHistoryPath(), OpenFor::kWrite));
}

// Forwards the station's queue, oldest first; each record leaves the queue once the site has
// it. The site keeps each id once, so a record that two stations forward at once is kept once.
SyncOutcome Forward(HistoryDatabase& station, HistoryDatabase& site) {
    SyncOutcome outcome;
    std::vector<SqlRow> queue;
    if (Result<void> listed =
            station.Run("SELECT run_id FROM pending ORDER BY sequence", {}, &queue);
        !listed) {
        outcome.error = listed.reason();
        return outcome;
    }
    outcome.waiting = static_cast<int>(queue.size());
    for (const SqlRow& row : queue) {
        const std::string id = TextOf(row[0]);
        const auto entry = LoadEntry(station, id);
        if (entry) {
            if (Result<void> inserted =
                    Retried(site, [&] { return InsertEntry(site, *entry, "forwarded"); });
                !inserted) {
                outcome.error = inserted.reason();
                return outcome;
            }
        }
        if (Result<void> deleted = station.Run("DELETE FROM pending WHERE run_id = ?", {id});
            !deleted) {
            outcome.error = deleted.reason();
            return outcome;
        }
        ++outcome.forwarded;
        --outcome.waiting;
    }
    return outcome;
}

std::string PlaceShown(const std::string& place) {
    return IsPostgresUrl(place) ? RedactedUrl(place) : place;
}

// The station keeps its own copy of every run; one that the site did not take (`queue`) waits
// in its queue for `url`, after those that wait already.
Result<void> KeepAtStation(HistoryDatabase& station, const HistoryEntry& entry,
                           const std::string& url, bool queue) {
    return Retried(station, [&] {
        Result<void> changed = station.Run("BEGIN IMMEDIATE");
        if (changed) {
            changed = InsertEntry(station, entry, "direct");
        }
        if (changed && queue) {
            changed = station.Run(
                "INSERT INTO pending (run_id, destination) VALUES (?, ?)"
                " ON CONFLICT (run_id) DO NOTHING",
                {entry.id, RedactedUrl(url)});
        }
        return InTransaction(station, changed);
    });
}

RecordOutcome RecordInSite(const HistoryEntry& entry, const std::string& url) {
    RecordOutcome outcome;
    outcome.place = RedactedUrl(url);
    OpenedHistory opened_station = OpenStation();
    const std::string station_error = opened_station.reason();
    auto station = std::move(opened_station).ValueOr(nullptr);
    OpenedHistory opened_site = OpenSite(url);
    std::string site_error = opened_site.reason();
    auto site = std::move(opened_site).ValueOr(nullptr);
    if (site && station) {
        const SyncOutcome synced = Forward(*station, *site);
        outcome.forwarded = synced.forwarded;
        if (!synced.error.empty()) {
            site_error = synced.error;
            site.reset();
        }
    }
    if (site) {
        if (Result<void> inserted =
                Retried(*site, [&] { return InsertEntry(*site, entry, "direct"); });
            !inserted) {
            site_error = inserted.reason();
            site.reset();
        } else {
            outcome.written = true;
        }
    }
    if (!station) {
        if (!outcome.written) {
            outcome.error = site_error + "; the station's history " + DefaultHistoryPath() +
                            " cannot keep it either: " + station_error;
        }
        return outcome;
    }
    if (Result<void> kept = KeepAtStation(*station, entry, url, !outcome.written); !kept) {
        if (!outcome.written) {
            outcome.error = site_error + "; the station's history " + DefaultHistoryPath() +
                            " cannot keep it either: " + kept.reason();
        }
        return outcome;
    }
    if (!outcome.written) {
        outcome.queued = true;
        outcome.error = site_error;
    }
    return outcome;
}

}  // namespace

std::string DefaultHistoryPath() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::string(data) + "/vantor/history.sqlite";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && *home != '\0' ? home : ".") +
           "/.local/share/vantor/history.sqlite";
}

std::string ChosenHistory(const std::string& option) {
    if (!option.empty()) {
        return option;
    }
    const char* variable = std::getenv("VANTOR_HISTORY");
    return variable != nullptr && *variable != '\0' ? variable : DefaultHistoryPath();
}

Result<void> PrepareSchema(HistoryDatabase& database) {
    const bool station = !IsPostgresUrl(database.Place());
    std::vector<SqlRow> rows;
    // Most runs find the schema made: that is read without a lock.
    if (database.Run("SELECT max(version) FROM history_schema", {}, &rows) && !rows.empty() &&
        NumberOf(rows[0][0]).value_or(0) == kSchemaVersion) {
        return {};
    }
    return Retried(database, [&]() -> Result<void> {
        if (Result<void> begun = database.BeginSchemaChange(); !begun) {
            return begun;
        }
        return InTransaction(database, Migrate(database, station));
    });
}

int ReadSchemaVersion(HistoryDatabase& database) {
    std::vector<SqlRow> rows;
    if (!database.Run("SELECT max(version) FROM history_schema", {}, &rows) || rows.empty()) {
        return 0;
    }
    return static_cast<int>(NumberOf(rows[0][0]).value_or(0));
}

Result<void> CheckSchemaForReading(HistoryDatabase& database) {
    std::vector<SqlRow> rows;
    if (!database.Run("SELECT max(version) FROM history_schema", {}, &rows) || rows.empty() ||
        !rows[0][0]) {
        return Failure{"it holds no history yet"};
    }
    if (NumberOf(rows[0][0]).value_or(0) > kSchemaVersion) {
        return Failure{"its schema is newer than this program's"};
    }
    return {};
}

Result<void> InsertEntry(HistoryDatabase& database, const HistoryEntry& entry,
                         const std::string& origin) {
    const bool own_transaction = IsPostgresUrl(database.Place());
    if (own_transaction) {
        if (Result<void> begun = database.Run("BEGIN"); !begun) {
            return begun;
        }
    }
    Result<void> inserted = database.Run(kInsertRun, {entry.id,
                                                      entry.started,
                                                      entry.ended,
                                                      Text(entry.host),
                                                      Text(entry.user_name),
                                                      Text(entry.tool),
                                                      Text(entry.tool_version),
                                                      entry.command,
                                                      Text(entry.port),
                                                      Text(entry.device),
                                                      Text(entry.usb_serial),
                                                      Number(entry.baud),
                                                      entry.result,
                                                      Number(entry.exit_status),
                                                      Number(entry.ident_word),
                                                      Number(entry.hardware_revision),
                                                      Text(entry.drive_version),
                                                      Number(entry.address),
                                                      Number(entry.packets_sent),
                                                      Number(entry.protected_memory_warnings),
                                                      Number(entry.missing_responses),
                                                      Number(entry.unrecognised_responses),
                                                      Number(entry.invalid_command_responses),
                                                      Number(entry.resynchronisations),
                                                      origin,
                                                      entry.record,
                                                      Text(entry.unit.unit_serial),
                                                      Text(entry.unit.operator_name),
                                                      Text(entry.unit.order),
                                                      Text(entry.unit.station_label)});
    for (std::size_t index = 0; inserted && index < entry.images.size(); ++index) {
        const HistoryImage& image = entry.images[index];
        inserted =
            database.Run(kInsertImage, {entry.id, std::to_string(index + 1), Text(image.path),
                                        Number(image.size_bytes), Text(image.sha256),
                                        Number(image.declared_packets), Number(image.packets_sent),
                                        Text(image.sent_sha256)});
    }
    return own_transaction ? InTransaction(database, inserted) : inserted;
}

RecordOutcome RecordEntry(const HistoryEntry& entry, const std::string& place) {
    if (IsPostgresUrl(place)) {
        return RecordInSite(entry, place);
    }
    RecordOutcome outcome;
    outcome.place = PlaceShown(place);
    OpenedHistory opened = OpenSqliteHistory(place, OpenFor::kWrite);
    Result<void> written = Failure{opened.reason()};
    if (opened) {
        HistoryDatabase& database = **opened;
        written = PrepareSchema(database);
        if (written) {
            written = Retried(database, [&]() -> Result<void> {
                if (Result<void> begun = database.Run("BEGIN IMMEDIATE"); !begun) {
                    return begun;
                }
                return InTransaction(database, InsertEntry(database, entry, "direct"));
            });
        }
    }
    outcome.written = static_cast<bool>(written);
    outcome.error = written.reason();
    return outcome;
}

SyncOutcome ForwardQueue(const std::string& url) {
    SyncOutcome outcome;
    const OpenedHistory station = OpenStation();
    if (!station) {
        outcome.error = DefaultHistoryPath() + ": " + station.reason();
        return outcome;
    }
    const OpenedHistory site = OpenSite(url);
    if (!site) {
        outcome.error = RedactedUrl(url) + ": " + site.reason();
        std::vector<SqlRow> rows;
        if ((*station)->Run("SELECT count(*) FROM pending", {}, &rows) && !rows.empty()) {
            outcome.waiting = static_cast<int>(NumberOf(rows[0][0]).value_or(0));
        }
        return outcome;
    }
    return Forward(**station, **site);
}

}  // namespace vantor::records
