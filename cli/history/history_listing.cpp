#include "cli/history/history_listing.h"

#include <cstdio>
#include <cstdlib>

#include "records/json_writer.h"

namespace vantor::cli {

namespace {

std::optional<long long> NumberOf(const SqlValue& value) {
    return value ? std::optional<long long>(std::strtoll(value->c_str(), nullptr, 10))
                 : std::nullopt;
}

// The IdentWord as the program shows it everywhere else: 0x2083.
SqlValue InHex(const SqlValue& value) {
    if (!value) {
        return value;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%04llX",
                  std::strtoll(value->c_str(), nullptr, 10) & 0xFFFF);
    return std::string(text);
}

std::string Csv(const SqlValue& value) {
    const std::string text = value.value_or("");
    if (text.find_first_of(",\"\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

// Where ListedRunColumns puts what the table shows, and which of them hold numbers.
enum RunColumn : std::size_t {
    kId = 0,
    kStarted = 1,
    kHost = 3,
    kUser = 4,
    kPort = 7,
    kResult = 11,
    kIdentWord = 13,
    kPacketsSent = 17,
    kUnitSerial = 24,  // the first of the columns the CSV gives after the images
    kOperator = 25,
    kOrder = 26,
};
bool IsNumberColumn(std::size_t column) {
    return column == 10 || column == 12 || column == 13 || column == 14 || column == 16 ||
           (column >= 17 && column <= 22);
}

// Collects the rows of one run (one per image) and prints the run once its rows are all in.
class RunPrinter {
  public:
    explicit RunPrinter(ListFormat format) : format_(format) {}

    void Header() const;
    void Add(const SqlRow& row);
    void Finish();

  private:
    void Print();
    void PrintJson() const;
    void PrintCsv() const;
    void PrintTableRow();

    ListFormat format_;
    SqlRow run_;                  // the run's columns; empty before the first row
    std::vector<SqlRow> images_;  // its images' columns
    bool user_shown_ = false;     // a run without an operator shown with its system user
};

void RunPrinter::Finish() {
    Print();
    if (user_shown_) {
        std::printf("(NAME): no --operator was given; NAME is the system user the run ran as\n");
    }
}

void RunPrinter::Header() const {
    if (format_ == ListFormat::kCsv) {
        // The columns that came later follow the images', for the readers written before.
        for (std::size_t column = 0; column < kUnitSerial; ++column) {
            std::printf("%s,", ListedRunKey(column));
        }
        std::printf("image_paths,image_sha256s");
        for (std::size_t column = kUnitSerial; column < ListedRunColumns().size(); ++column) {
            std::printf(",%s", ListedRunKey(column));
        }
        std::printf("\n");
    } else if (format_ == ListFormat::kTable) {
        std::printf("%-24s %-8s %-14s %-12s %-14s %-16s %-12s %-8s %s\n", "STARTED", "RESULT",
                    "PORT", "HOST", "UNIT", "OPERATOR", "ORDER", "PACKETS", "IMAGE SHA-256");
    }
}

void RunPrinter::Add(const SqlRow& row) {
    const std::size_t run_columns = ListedRunColumns().size();
    if (!run_.empty() && run_[kId] != row[kId]) {
        Print();
    }
    if (run_.empty()) {
        run_.assign(row.begin(), row.begin() + static_cast<long>(run_columns));
    }
    // A run without images has one row whose image columns are all NULL (the left join's).
    if (row[run_columns]) {
        images_.emplace_back(row.begin() + static_cast<long>(run_columns), row.end());
    }
}

void RunPrinter::Print() {
    if (run_.empty()) {
        return;
    }
    if (format_ == ListFormat::kJson) {
        PrintJson();
    } else if (format_ == ListFormat::kCsv) {
        PrintCsv();
    } else {
        PrintTableRow();
    }
    run_.clear();
    images_.clear();
}

void RunPrinter::PrintJson() const {
    JsonObject object;
    for (std::size_t column = 0; column < run_.size(); ++column) {
        const std::string key = ListedRunKey(column);
        if (column == kUser) {
            // user_name as the history's schema and the CSV name it; the listing's older name
            // "user" stays beside it for the readers written against it.
            object.StringOrNull(key, run_[column]).StringOrNull("user", run_[column]);
        } else if (IsNumberColumn(column)) {
            object.IntegerOrNull(key, NumberOf(run_[column]));
        } else {
            object.StringOrNull(key, run_[column]);
        }
    }
    JsonArray list;
    for (const SqlRow& image : images_) {
        list.Object(JsonObject()
                        .StringOrNull("path", image[0])
                        .IntegerOrNull("size_bytes", NumberOf(image[1]))
                        .StringOrNull("sha256", image[2])
                        .IntegerOrNull("declared_packets", NumberOf(image[3]))
                        .IntegerOrNull("packets_sent", NumberOf(image[4]))
                        .StringOrNull("sent_sha256", image[5]));
    }
    object.Array("images", list);
    std::printf("%s\n", object.Text().c_str());
}

void RunPrinter::PrintCsv() const {
    for (std::size_t column = 0; column < kUnitSerial; ++column) {
        std::printf("%s,", Csv(column == kIdentWord ? InHex(run_[column]) : run_[column]).c_str());
    }
    std::string paths, digests;
    for (const SqlRow& image : images_) {
        paths += (paths.empty() ? "" : ";") + image[0].value_or("");
        digests += (digests.empty() ? "" : ";") + image[2].value_or("");
    }
    std::printf("%s,%s", Csv(paths).c_str(), Csv(digests).c_str());
    for (std::size_t column = kUnitSerial; column < run_.size(); ++column) {
        std::printf(",%s", Csv(run_[column]).c_str());
    }
    std::printf("\n");
}

// The operator as given, or, where none was, the system user the run ran as in brackets.
std::string OperatorShown(const SqlRow& run) {
    if (run[kOperator]) {
        return *run[kOperator];
    }
    return run[kUser] ? "(" + *run[kUser] + ")" : "-";
}

void RunPrinter::PrintTableRow() {
    user_shown_ = user_shown_ || !run_[kOperator];
    const std::string digest =
        images_.empty() ? "-" : images_.front()[2].value_or("?").substr(0, 16);
    std::printf("%-24s %-8s %-14s %-12s %-14s %-16s %-12s %-8s %s%s\n",
                run_[kStarted].value_or("").c_str(), run_[kResult].value_or("").c_str(),
                run_[kPort].value_or("").c_str(), run_[kHost].value_or("").c_str(),
                run_[kUnitSerial].value_or("-").c_str(), OperatorShown(run_).c_str(),
                run_[kOrder].value_or("-").c_str(), run_[kPacketsSent].value_or("0").c_str(),
                digest.c_str(), images_.size() > 1 ? " ..." : "");
}

// Prints one count row of `kind` ("station" or "image").
void PrintCount(const char* kind, const SqlRow& row, ListFormat format) {
    const bool station = std::string(kind) == "station";
    const long long runs = NumberOf(row[2]).value_or(0);
    const long long successes = NumberOf(row[3]).value_or(0);
    // A run the operator stopped neither passed nor failed: it is counted apart, and the
    // failure rate is of the runs that ended by themselves.
    const long long interrupted = NumberOf(row[4]).value_or(0);
    const long long ended = runs - interrupted;
    const double rate =
        ended > 0 ? static_cast<double>(ended - successes) / static_cast<double>(ended) : 0.0;
    if (format == ListFormat::kJson) {
        JsonObject object;
        object.String("kind", kind);
        if (station) {
            object.StringOrNull("host", row[0]).StringOrNull("port", row[1]);
        } else {
            object.StringOrNull("sha256", row[0]);
        }
        object.Integer("runs", runs)
            .Integer("successes", successes)
            .Integer("interrupted", interrupted)
            .Fixed3("failure_rate", rate);
        std::printf("%s\n", object.Text().c_str());
    } else if (format == ListFormat::kCsv) {
        std::printf("%s,%s,%s,%lld,%lld,%.3f,%lld\n", kind, Csv(row[0]).c_str(),
                    Csv(row[1]).c_str(), runs, successes, rate, interrupted);
    } else {
        const std::string name =
            station ? row[0].value_or("?") + " " + row[1].value_or("?") : row[0].value_or("?");
        std::printf("%-44s %8lld %10lld %12.1f%% %11lld\n", name.c_str(), runs, successes,
                    rate * 100.0, interrupted);
    }
}

}  // namespace

std::optional<std::string> PrintRuns(HistoryDatabase& database, const HistoryFilters& filters,
                                     ListFormat format) {
    std::vector<SqlValue> values;
    const std::string sql = ListSql(filters, values);
    RunPrinter printer(format);
    printer.Header();
    if (auto problem = database.Each(sql, values, [&](const SqlRow& row) { printer.Add(row); })) {
        return problem;
    }
    printer.Finish();
    return std::nullopt;
}

std::optional<std::string> PrintCounts(HistoryDatabase& database, const HistoryFilters& filters,
                                       ListFormat format) {
    if (format == ListFormat::kCsv) {
        // Columns are only ever added at the end, for the readers written against the first.
        std::printf("kind,host_or_sha256,port,runs,successes,failure_rate,interrupted\n");
    }
    for (const char* kind : {"station", "image"}) {
        const bool station = std::string(kind) == "station";
        if (format == ListFormat::kTable) {
            std::printf("%s%-44s %8s %10s %13s %11s\n", station ? "" : "\n",
                        station ? "STATION (HOST PORT)" : "IMAGE SHA-256", "RUNS", "SUCCESSES",
                        "FAILURE RATE", "INTERRUPTED");
        }
        std::vector<SqlValue> values;
        const std::string sql =
            station ? StationCountsSql(filters, values) : ImageCountsSql(filters, values);
        // An image's row has no port: its columns are moved so that the runs are third.
        auto print = [&](const SqlRow& row) {
            PrintCount(kind, station ? row : SqlRow{row[0], std::nullopt, row[1], row[2], row[3]},
                       format);
        };
        if (auto problem = database.Each(sql, values, print)) {
            return problem;
        }
    }
    return std::nullopt;
}

}  // namespace vantor::cli
