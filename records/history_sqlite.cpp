// The station's history: a SQLite file in WAL mode, so that the stations of a line that end at
// once each write their record in a transaction of its own while readers go on reading.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "records/history_database.h"

namespace vantor::records {

namespace {

// How long a writer waits for the others: 256 stations ending at once each hold the lock for a
// few milliseconds.
constexpr auto kBusyWaitMost = std::chrono::seconds(30);

// SQLite's own busy wait sleeps 1, 2, 5, 10 and up to 100 ms between looks at the lock. A record
// holds it for well under a millisecond, so writers that wait that way sleep through most of
// the time it is free, and 64 of them take seconds where they need tens of milliseconds. This
// one looks again after 0.1 to 1 ms, at random so that the waiters do not look in step.
int WaitWhileBusy(void* context, int count) {
    auto* since = static_cast<std::chrono::steady_clock::time_point*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) {
        *since = now;
    }
    if (now - *since >= kBusyWaitMost) {
        return 0;
    }
    thread_local std::minstd_rand random(std::random_device{}());
    std::this_thread::sleep_for(std::chrono::microseconds(100 + random() % 900));
    return 1;
}

Result<void> MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            return Failure{"cannot make the folder \"" + folder + "\": " + std::strerror(errno)};
        }
    }
    return {};
}

class SqliteHistory final : public HistoryDatabase {
  public:
    SqliteHistory(sqlite3* handle, std::string path) : handle_(handle), path_(std::move(path)) {
        sqlite3_busy_handler(handle_, WaitWhileBusy, &busy_since_);
    }
    ~SqliteHistory() override { sqlite3_close_v2(handle_); }
    SqliteHistory(const SqliteHistory&) = delete;
    SqliteHistory& operator=(const SqliteHistory&) = delete;

    Result<void> Execute(const std::string& sql, const std::vector<SqlValue>& values,
                         const RowHandler* on_row) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            return Failed();
        }
        for (std::size_t index = 0; index < values.size(); ++index) {
            const int position = static_cast<int>(index + 1);
            const int bound = values[index]
                                  ? sqlite3_bind_text(statement, position, values[index]->c_str(),
                                                      -1, SQLITE_TRANSIENT)
                                  : sqlite3_bind_null(statement, position);
            if (bound != SQLITE_OK) {
                sqlite3_finalize(statement);
                return Failed();
            }
        }
        int step = SQLITE_ROW;
        SqlRow row;  // one row's room, used again for each
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (on_row == nullptr) {
                continue;
            }
            const int columns = sqlite3_column_count(statement);
            row.resize(static_cast<std::size_t>(columns));
            for (int column = 0; column < columns; ++column) {
                const auto* text = sqlite3_column_text(statement, column);
                SqlValue& value = row[static_cast<std::size_t>(column)];
                const auto* chars = reinterpret_cast<const char*>(text);
                const auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
                if (text == nullptr) {
                    value.reset();
                } else if (value) {
                    value->assign(chars, size);  // the room of the row before, kept
                } else {
                    value.emplace(chars, size);
                }
            }
            (*on_row)(row);
        }
        sqlite3_finalize(statement);
        if (step != SQLITE_DONE) {
            return Failed();
        }
        return {};
    }

    Result<void> BeginSchemaChange() override { return Run("BEGIN IMMEDIATE"); }
    std::string Place() const override { return path_; }

  private:
    // SQLite's busy wait covers most waits for another connection's lock, but not all: the
    // switch of a new file to WAL, or a read transaction that cannot become a write one, fails
    // at once with SQLITE_BUSY; SQLITE_PROTOCOL is a race on the WAL's locks.
    vantor::Failure Failed() {
        const int primary = sqlite3_extended_errcode(handle_) & 0xFF;
        NoteFailure(primary == SQLITE_BUSY || primary == SQLITE_LOCKED ||
                    primary == SQLITE_PROTOCOL);
        return {sqlite3_errmsg(handle_)};
    }

    sqlite3* handle_;
    std::chrono::steady_clock::time_point busy_since_;
    std::string path_;
};

// Puts the file in WAL mode. Several processes that open a new file at once all ask for the
// switch; those that find another's lock fail at once (no busy wait covers it) or keep the old
// mode, and try again.
Result<void> SwitchToWal(HistoryDatabase& database) {
    const auto deadline = std::chrono::steady_clock::now() + kRetryForS;
    for (int tries = 1;; ++tries) {
        std::vector<SqlRow> mode;
        database.ForgetFailure();
        Result<void> switched = database.Run("PRAGMA journal_mode = WAL", {}, &mode);
        if (switched && !mode.empty() && mode[0][0] == "wal") {
            return {};
        }
        if (!switched && !database.MayRetry()) {
            return switched;
        }
        if (!PauseBeforeRetry(tries, deadline)) {
            return Failure{
                "cannot switch to WAL mode within " + std::to_string(kRetryForS.count()) + " s (" +
                (switched ? "the file keeps another journal mode" : switched.reason()) + ")"};
        }
    }
}

}  // namespace

OpenedHistory OpenSqliteHistory(const std::string& path, OpenFor purpose) {
    const bool write = purpose == OpenFor::kWrite;
    if (write) {
        if (Result<void> made = MakeFolders(path); !made) {
            return Failure{made.reason()};
        }
    }
    sqlite3* handle = nullptr;
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        Failure failure{handle ? sqlite3_errmsg(handle) : "out of memory"};
        sqlite3_close_v2(handle);
        return failure;
    }
    auto database = std::make_unique<SqliteHistory>(handle, path);
    // A file that is not SQLite, or SQLite that holds something else, is left as it is.
    std::vector<SqlRow> tables;
    if (Result<void> listed =
            database->Run("SELECT name FROM sqlite_master WHERE type = 'table'", {}, &tables);
        !listed) {
        return Failure{"not a history (" + listed.reason() + ")"};
    }
    bool ours = false;
    for (const SqlRow& row : tables) {
        ours = ours || (row[0] && *row[0] == "history_schema");
    }
    if (!tables.empty() && !ours) {
        return Failure{
            "a SQLite database of something else (no history_schema table); left as it is"};
    }
    if (write) {
        if (Result<void> switched = SwitchToWal(*database); !switched) {
            return Failure{switched.reason()};
        }
        // A file that keeps full syncs is slower, not wrong.
        (void)database->Run("PRAGMA synchronous = NORMAL");
    }
    return database;
}

std::unique_ptr<HistoryDatabase> OpenSqliteHistoryInMemory() {
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        sqlite3_close_v2(handle);
        return nullptr;
    }
    return std::make_unique<SqliteHistory>(handle, "memory");
}

}  // namespace vantor::records
