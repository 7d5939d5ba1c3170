// The two kinds of database a history lives in, behind one small face: SQL with ? for each
// value, every value passed as text (or NULL), every row read back as text. The station's own
// history is a SQLite file; a site's is a PostgreSQL database.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/result.h"

namespace vantor::records {

using SqlValue = std::optional<std::string>;  // nothing for NULL
using SqlRow = std::vector<SqlValue>;
// Called with each row as the database gives it, in order.
using RowHandler = std::function<void(const SqlRow&)>;

class HistoryDatabase {
  public:
    virtual ~HistoryDatabase() = default;
    // Runs one statement; the rows it gives are added to `rows` when it is not null. Success,
    // or the database's message when it failed.
    Result<void> Run(const std::string& sql, const std::vector<SqlValue>& values = {},
                     std::vector<SqlRow>* rows = nullptr) {
        if (rows == nullptr) {
            return Execute(sql, values, nullptr);
        }
        const RowHandler keep = [rows](const SqlRow& row) { rows->push_back(row); };
        return Execute(sql, values, &keep);
    }
    // Runs one statement and hands each row to `on_row` as it comes, none of them kept: a
    // query of any size in bounded memory.
    Result<void> Each(const std::string& sql, const std::vector<SqlValue>& values,
                      const RowHandler& on_row) {
        return Execute(sql, values, &on_row);
    }
    // Takes the lock that lets one writer at a time make the schema; given up at the end of
    // the transaction.
    virtual Result<void> BeginSchemaChange() = 0;
    // Where it is, as it may be shown (no password).
    virtual std::string Place() const = 0;
    // Whether a statement failed, since ForgetFailure, with what the database says may go
    // through when tried again: another process held a lock that the busy wait does not cover
    // (SQLite switching a new file to WAL), a deadlock or a serialisation failure (PostgreSQL).
    // A statement that succeeds after it (the ROLLBACK) leaves it.
    bool MayRetry() const { return may_retry_; }
    void ForgetFailure() { may_retry_ = false; }

  protected:
    // Each failed statement says whether it may go through when tried again.
    void NoteFailure(bool may_retry) { may_retry_ = may_retry; }
    virtual Result<void> Execute(const std::string& sql, const std::vector<SqlValue>& values,
                                 const RowHandler* on_row) = 0;

  private:
    bool may_retry_ = false;
};

// How a SQLite history is opened. kRead never creates or changes the file.
enum class OpenFor { kWrite, kRead };

// A history opened, or why it could not be.
using OpenedHistory = Result<std::unique_ptr<HistoryDatabase>>;

// Opens the SQLite history at `path` (its folder made when writing). Why not when it cannot be
// opened, or when the file is not SQLite or holds other tables than a history's: such a file is
// left as it is.
OpenedHistory OpenSqliteHistory(const std::string& path, OpenFor purpose);
// A SQLite history of its own in memory, gone when it is closed, with no schema yet; null when
// SQLite has no memory for it.
std::unique_ptr<HistoryDatabase> OpenSqliteHistoryInMemory();
// How long a record keeps trying while what failed may go through when tried again: the busy
// wait's own bound, so that 256 stations ending at once all get their turn.
inline constexpr std::chrono::seconds kRetryForS{30};
// Waits a short while of random length (1 to 8 ms, longer as `tries` grow, at most 50 ms) before
// a failed step is tried again, so that processes that met do not meet again in step. False,
// without a wait, once `deadline` has passed.
bool PauseBeforeRetry(int tries, std::chrono::steady_clock::time_point deadline);

// Connects to the PostgreSQL history at `url` (a postgresql:// URL or key=value words) within a
// bounded time (connect_timeout=3 unless the URL says otherwise); why not when it cannot.
OpenedHistory ConnectPostgresHistory(const std::string& url);
// `url` with its password, if any, shown as ***.
std::string RedactedUrl(const std::string& url);
bool IsPostgresUrl(const std::string& place);

// The schema: made or brought up to date (each migration once, in order) inside one
// transaction. A database whose schema is newer than this program's is refused.
Result<void> PrepareSchema(HistoryDatabase& database);
// Whether a database opened for reading has a schema this program reads; why not when it has
// none or a newer one.
Result<void> CheckSchemaForReading(HistoryDatabase& database);
// The schema version of a history, 0 when it has none. A history of an older version is read
// as it is (a reader does not change it): what it has no column for reads as NULL.
int ReadSchemaVersion(HistoryDatabase& database);
// The version whose runs have unit_serial, operator_name, work_order and station_label.
inline constexpr int kUnitColumnsSchema = 3;

}  // namespace vantor::records
