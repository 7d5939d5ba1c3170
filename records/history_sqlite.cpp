// The station's history: a SQLite file in WAL mode, so that the stations of a line that end at
// once each write their record in a transaction of its own while readers go on reading.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "records/history_database.h"

namespace vantor::cli {

namespace {

// How long a writer waits for the others: 256 stations ending at once each hold the lock for a
// few milliseconds.
constexpr int kBusyTimeoutMs = 30000;

std::optional<std::string> MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string folder = path.substr(0, slash);
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
            return "cannot make the folder \"" + folder + "\": " + std::strerror(errno);
        }
    }
    return std::nullopt;
}

class SqliteHistory final : public HistoryDatabase {
  public:
    SqliteHistory(sqlite3* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
    ~SqliteHistory() override { sqlite3_close_v2(handle_); }
    SqliteHistory(const SqliteHistory&) = delete;
    SqliteHistory& operator=(const SqliteHistory&) = delete;

    std::optional<std::string> Execute(const std::string& sql, const std::vector<SqlValue>& values,
                                       std::vector<SqlRow>* rows) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            return Failure();
        }
        for (std::size_t index = 0; index < values.size(); ++index) {
            const int position = static_cast<int>(index + 1);
            const int bound = values[index]
                                  ? sqlite3_bind_text(statement, position, values[index]->c_str(),
                                                      -1, SQLITE_TRANSIENT)
                                  : sqlite3_bind_null(statement, position);
            if (bound != SQLITE_OK) {
                sqlite3_finalize(statement);
                return Failure();
            }
        }
        int step = SQLITE_ROW;
        while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (rows == nullptr) {
                continue;
            }
            SqlRow& row = rows->emplace_back();
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto* text = sqlite3_column_text(statement, column);
                row.push_back(text ? SqlValue(reinterpret_cast<const char*>(text)) : std::nullopt);
            }
        }
        sqlite3_finalize(statement);
        return step == SQLITE_DONE ? std::nullopt : Failure();
    }

    std::optional<std::string> BeginSchemaChange() override { return Run("BEGIN IMMEDIATE"); }
    std::string Place() const override { return path_; }

  private:
    std::optional<std::string> Failure() const { return std::string(sqlite3_errmsg(handle_)); }

    sqlite3* handle_;
    std::string path_;
};

}  // namespace

std::unique_ptr<HistoryDatabase> OpenSqliteHistory(const std::string& path, OpenFor purpose,
                                                   std::string* error) {
    const bool write = purpose == OpenFor::kWrite;
    if (write) {
        if (auto problem = MakeFolders(path)) {
            *error = *problem;
            return nullptr;
        }
    }
    sqlite3* handle = nullptr;
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &handle, flags, nullptr) != SQLITE_OK) {
        *error = handle ? sqlite3_errmsg(handle) : "out of memory";
        sqlite3_close_v2(handle);
        return nullptr;
    }
    sqlite3_busy_timeout(handle, kBusyTimeoutMs);
    auto database = std::make_unique<SqliteHistory>(handle, path);
    // A file that is not SQLite, or SQLite that holds something else, is left as it is.
    std::vector<SqlRow> tables;
    if (auto problem =
            database->Run("SELECT name FROM sqlite_master WHERE type = 'table'", {}, &tables)) {
        *error = "not a history (" + *problem + ")";
        return nullptr;
    }
    bool ours = false;
    for (const SqlRow& row : tables) {
        ours = ours || (row[0] && *row[0] == "history_schema");
    }
    if (!tables.empty() && !ours) {
        *error = "a SQLite database of something else (no history_schema table); left as it is";
        return nullptr;
    }
    if (write) {
        std::vector<SqlRow> mode;
        if (auto problem = database->Run("PRAGMA journal_mode = WAL", {}, &mode)) {
            *error = *problem;
            return nullptr;
        }
        database->Run("PRAGMA synchronous = NORMAL");
    }
    return database;
}

}  // namespace vantor::cli
