// A site's history: a PostgreSQL database that every station writes to through libpq.
#include <libpq-fe.h>

#include "records/history_database.h"

namespace vantor::cli {

namespace {

// Seconds a connection may take unless the URL says otherwise, and milliseconds a statement
// may take: a site's server that does not answer must not hold up a line.
constexpr const char* kConnectTimeoutS = "3";
constexpr const char* kStatementTimeout = "SET statement_timeout = 15000";
// Any fixed number, the same for every writer: the lock under which the schema is made.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7422960117)";

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
    PostgresHistory(PGconn* connection, std::string place)
        : connection_(connection), place_(std::move(place)) {}
    ~PostgresHistory() override { PQfinish(connection_); }
    PostgresHistory(const PostgresHistory&) = delete;
    PostgresHistory& operator=(const PostgresHistory&) = delete;

    std::optional<std::string> Execute(const std::string& sql, const std::vector<SqlValue>& values,
                                       std::vector<SqlRow>* rows) override {
        std::vector<const char*> texts;
        for (const SqlValue& value : values) {
            texts.push_back(value ? value->c_str() : nullptr);
        }
        PGresult* result =
            PQexecParams(connection_, Numbered(sql).c_str(), static_cast<int>(texts.size()),
                         nullptr, texts.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
            last_state_ = state != nullptr ? state : "";
            const std::string message = Trimmed(PQerrorMessage(connection_));
            PQclear(result);
            return message.empty() ? "the server gave no answer" : message;
        }
        for (int row = 0; rows != nullptr && row < PQntuples(result); ++row) {
            SqlRow& values_of_row = rows->emplace_back();
            for (int column = 0; column < PQnfields(result); ++column) {
                values_of_row.push_back(PQgetisnull(result, row, column)
                                            ? std::nullopt
                                            : SqlValue(PQgetvalue(result, row, column)));
            }
        }
        PQclear(result);
        return std::nullopt;
    }

    std::optional<std::string> BeginSchemaChange() override {
        if (auto problem = Run("BEGIN", {}, nullptr)) {
            return problem;
        }
        return Run(kSchemaLock, {}, nullptr);
    }
    std::string Place() const override { return place_; }
    // A serialisation failure or a deadlock: PostgreSQL's word that the transaction may go
    // through when tried again.
    bool MayRetry() const override { return last_state_ == "40001" || last_state_ == "40P01"; }

  private:
    PGconn* connection_;
    std::string last_state_;
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

std::unique_ptr<HistoryDatabase> ConnectPostgresHistory(const std::string& url,
                                                        std::string* error) {
    // The URL's own words come after the default timeout and so take its place.
    const char* keywords[] = {"connect_timeout", "dbname", nullptr};
    const char* values[] = {kConnectTimeoutS, url.c_str(), nullptr};
    PGconn* connection = PQconnectdbParams(keywords, values, 1);
    if (connection == nullptr) {
        *error = "out of memory";
        return nullptr;
    }
    PQsetNoticeProcessor(connection, IgnoreNotice, nullptr);
    auto database = std::make_unique<PostgresHistory>(connection, RedactedUrl(url));
    if (PQstatus(connection) != CONNECTION_OK) {
        *error = RedactedUrl(Trimmed(PQerrorMessage(connection)));
        return nullptr;
    }
    if (auto problem = database->Run(kStatementTimeout, {}, nullptr)) {
        *error = *problem;
        return nullptr;
    }
    return database;
}

}  // namespace vantor::cli
