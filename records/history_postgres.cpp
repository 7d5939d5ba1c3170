// A site's history: a PostgreSQL database that every station writes to through libpq. libpq is
// loaded when a site's database is first reached, not when the program starts: with what it
// loads in turn (Kerberos, LDAP, TLS) it would add some 5 ms of start-up to every run and every
// history command, most of which never reach a site.
#include <dlfcn.h>
#include <libpq-fe.h>

#include "records/history_database.h"

namespace vantor::records {

namespace {

// Seconds a connection may take unless the URL says otherwise, and milliseconds a statement
// may take: a site's server that does not answer must not hold up a line.
constexpr const char* kConnectTimeoutS = "3";
constexpr const char* kStatementTimeout = "SET statement_timeout = 15000";
// The times of a site's history are timestamptz; the session's zone is UTC so that they come
// back in it, and are handed on as the station's file gives them (TimesAsIso).
constexpr const char* kUtcSession = "SET TIME ZONE 'UTC'";
constexpr const char* kIsoDates = "SET DateStyle = 'ISO, YMD'";
// PostgreSQL's type number of timestamptz (pg_type.oid).
constexpr Oid kTimestamptzOid = 1184;
// Any fixed number, the same for every writer: the lock under which the schema is made.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7422960117)";

// The functions of libpq that the history calls, found in the library once it is loaded.
struct LibPq {
    decltype(&PQconnectdbParams) connectdbParams;
    decltype(&PQfinish) finish;
    decltype(&PQsetNoticeProcessor) setNoticeProcessor;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) errorMessage;
    decltype(&PQsendQueryParams) sendQueryParams;
    decltype(&PQsetSingleRowMode) setSingleRowMode;
    decltype(&PQgetResult) getResult;
    decltype(&PQresultStatus) resultStatus;
    decltype(&PQresultErrorField) resultErrorField;
    decltype(&PQresultErrorMessage) resultErrorMessage;
    decltype(&PQnfields) nfields;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQftype) ftype;
    decltype(&PQclear) clear;
};

template <typename Function>
bool Find(void* library, const char* name, Function& function) {
    function = reinterpret_cast<Function>(::dlsym(library, name));
    return function != nullptr;
}

// libpq, loaded on first use and kept to the program's end; why not when it cannot be loaded.
Result<const LibPq*> LoadLibPq() {
    static LibPq pq;
    static std::string problem;
    static const bool loaded = [] {
        void* library = ::dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* why = ::dlerror();
            problem = std::string("PostgreSQL's client library cannot be loaded (") +
                      (why != nullptr ? why : "libpq.so.5") + "); install libpq5";
            return false;
        }
        const bool all = Find(library, "PQconnectdbParams", pq.connectdbParams) &&
                         Find(library, "PQfinish", pq.finish) &&
                         Find(library, "PQsetNoticeProcessor", pq.setNoticeProcessor) &&
                         Find(library, "PQstatus", pq.status) &&
                         Find(library, "PQerrorMessage", pq.errorMessage) &&
                         Find(library, "PQsendQueryParams", pq.sendQueryParams) &&
                         Find(library, "PQsetSingleRowMode", pq.setSingleRowMode) &&
                         Find(library, "PQgetResult", pq.getResult) &&
                         Find(library, "PQresultStatus", pq.resultStatus) &&
                         Find(library, "PQresultErrorField", pq.resultErrorField) &&
                         Find(library, "PQresultErrorMessage", pq.resultErrorMessage) &&
                         Find(library, "PQnfields", pq.nfields) &&
                         Find(library, "PQgetisnull", pq.getisnull) &&
                         Find(library, "PQgetvalue", pq.getvalue) &&
                         Find(library, "PQftype", pq.ftype) && Find(library, "PQclear", pq.clear);
        if (!all) {
            problem =
                "PostgreSQL's client library (libpq.so.5) lacks a function the history "
                "needs: it is older than PostgreSQL 9.2";
        }
        return all;
    }();
    if (!loaded) {
        return Failure{problem};
    }
    return &pq;
}

void IgnoreNotice(void*, const char*) {}

// libpq's message on one line: its lines joined, its tabs and trailing line end dropped.
std::string Trimmed(const std::string& message) {
    std::string text;
    for (const char c : message) {
        if (c == '\n') {
            text += "; ";
        } else if (c != '\t') {
            text += c;
        }
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == ';')) {
        text.pop_back();
    }
    return text;
}

// A timestamptz as PostgreSQL writes it in UTC (2026-12-07 10:12:55.12+00, its fraction cut
// after its last digit that is not 0, or left out) as the history writes its times everywhere:
// 2026-12-07T10:12:55.120Z. Anything else is handed on as it came.
std::string IsoUtcFromPostgres(const std::string& text) {
    constexpr std::size_t kSecondsEnd = 19;  // "2026-12-07 10:12:55"
    if (text.size() < kSecondsEnd + 3 || text[10] != ' ' ||
        text.compare(text.size() - 3, 3, "+00") != 0) {
        return text;
    }
    std::string fraction = text.substr(kSecondsEnd, text.size() - 3 - kSecondsEnd);
    if (!fraction.empty() && fraction[0] != '.') {
        return text;
    }
    fraction = fraction.empty() ? "" : fraction.substr(1);
    fraction = (fraction + "000").substr(0, 3);
    return text.substr(0, 10) + "T" + text.substr(11, kSecondsEnd - 11) + "." + fraction + "Z";
}

// `sql` with each ? numbered as PostgreSQL numbers its values ($1, $2...). The statements of
// the history hold no ? inside a string.
std::string Numbered(const std::string& sql) {
    std::string numbered;
    int number = 0;
    for (const char c : sql) {
        if (c == '?') {
            numbered += "$" + std::to_string(++number);
        } else {
            numbered += c;
        }
    }
    return numbered;
}

class PostgresHistory final : public HistoryDatabase {
  public:
    PostgresHistory(const LibPq& pq, PGconn* connection, std::string place)
        : pq_(pq), connection_(connection), place_(std::move(place)) {}
    ~PostgresHistory() override { pq_.finish(connection_); }
    PostgresHistory(const PostgresHistory&) = delete;
    PostgresHistory& operator=(const PostgresHistory&) = delete;

    // The rows come one at a time (libpq's single-row mode), so that a query of any size is
    // handed on in bounded memory.
    Result<void> Execute(const std::string& sql, const std::vector<SqlValue>& values,
                         const RowHandler* on_row) override {
        std::vector<const char*> texts;
        for (const SqlValue& value : values) {
            texts.push_back(value ? value->c_str() : nullptr);
        }
        if (pq_.sendQueryParams(connection_, Numbered(sql).c_str(), static_cast<int>(texts.size()),
                                nullptr, texts.data(), nullptr, nullptr, 0) == 0) {
            return Failure{Failed(nullptr)};
        }
        pq_.setSingleRowMode(connection_);
        std::optional<std::string> problem;
        SqlRow row;
        while (PGresult* result = pq_.getResult(connection_)) {
            const ExecStatusType status = pq_.resultStatus(result);
            if (status == PGRES_SINGLE_TUPLE && on_row != nullptr && !problem) {
                row.resize(static_cast<std::size_t>(pq_.nfields(result)));
                for (int column = 0; column < pq_.nfields(result); ++column) {
                    SqlValue& value = row[static_cast<std::size_t>(column)];
                    if (pq_.getisnull(result, 0, column)) {
                        value.reset();
                    } else if (pq_.ftype(result, column) == kTimestamptzOid) {
                        value = IsoUtcFromPostgres(pq_.getvalue(result, 0, column));
                    } else {
                        value = pq_.getvalue(result, 0, column);
                    }
                }
                (*on_row)(row);
            } else if (status != PGRES_SINGLE_TUPLE && status != PGRES_COMMAND_OK &&
                       status != PGRES_TUPLES_OK && !problem) {
                problem = Failed(result);
            }
            pq_.clear(result);  // every result is taken, so that the connection is ready again
        }
        if (problem) {
            return Failure{*problem};
        }
        return {};
    }

    Result<void> BeginSchemaChange() override {
        if (Result<void> begun = Run("BEGIN", {}, nullptr); !begun) {
            return begun;
        }
        return Run(kSchemaLock, {}, nullptr);
    }
    std::string Place() const override { return place_; }

  private:
    // The failure's message (and its SQLSTATE, for MayRetry), from `result` when there is one.
    std::string Failed(const PGresult* result) {
        const char* state =
            result != nullptr ? pq_.resultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        // A serialisation failure or a deadlock: PostgreSQL's word that the transaction may go
        // through when tried again.
        const std::string sqlstate = state != nullptr ? state : "";
        NoteFailure(sqlstate == "40001" || sqlstate == "40P01");
        std::string message = result != nullptr ? Trimmed(pq_.resultErrorMessage(result)) : "";
        if (message.empty()) {
            message = Trimmed(pq_.errorMessage(connection_));
        }
        return message.empty() ? "the server gave no answer" : message;
    }

    const LibPq& pq_;
    PGconn* connection_;
    std::string place_;
};

// The end of the password in `url` from `from`: the next character of `stops`.
std::size_t EndOf(const std::string& url, std::size_t from, const char* stops) {
    const std::size_t end = url.find_first_of(stops, from);
    return end == std::string::npos ? url.size() : end;
}

}  // namespace

bool IsPostgresUrl(const std::string& place) {
    return place.rfind("postgresql://", 0) == 0 || place.rfind("postgres://", 0) == 0;
}

std::string RedactedUrl(const std::string& url) {
    std::string shown = url;
    const std::size_t scheme = shown.find("://");
    if (scheme != std::string::npos) {
        const std::size_t at = shown.find('@', scheme + 3);
        const std::size_t colon = shown.find(':', scheme + 3);
        if (at != std::string::npos && colon != std::string::npos && colon < at) {
            shown.replace(colon + 1, at - colon - 1, "***");
        }
    }
    for (std::size_t found = shown.find("password="); found != std::string::npos;
         found = shown.find("password=", found + 1)) {
        const std::size_t value = found + 9;
        shown.replace(value, EndOf(shown, value, "& ") - value, "***");
    }
    return shown;
}

OpenedHistory ConnectPostgresHistory(const std::string& url) {
    // The URL's own words come after the default timeout and so take its place.
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {kConnectTimeoutS, url.c_str(), nullptr};
    const auto loaded = LoadLibPq();
    if (!loaded) {
        return Failure{loaded.reason()};
    }
    const LibPq* pq = *loaded;
    PGconn* connection = pq->connectdbParams(keywords, values, 1);
    if (connection == nullptr) {
        return Failure{"out of memory"};
    }
    pq->setNoticeProcessor(connection, IgnoreNotice, nullptr);
    auto database = std::make_unique<PostgresHistory>(*pq, connection, RedactedUrl(url));
    if (pq->status(connection) != CONNECTION_OK) {
        return Failure{RedactedUrl(Trimmed(pq->errorMessage(connection)))};
    }
    for (const char* setting : {kStatementTimeout, kUtcSession, kIsoDates}) {
        if (Result<void> set = database->Run(setting, {}, nullptr); !set) {
            return Failure{set.reason()};
        }
    }
    return database;
}

}  // namespace vantor::records
