#include "cli/history/history_listing.h"

#include <cstdio>
#include <cstdlib>

#include "records/json_writer.h"

namespace vantor::cli {

namespace {

std::optional<long long> NumberOf(const records::SqlValue& value) {
    return value ? std::optional<long long>(std::strtoll(value->c_str(), nullptr, 10))
                 : std::nullopt;
}

// The IdentWord as the program shows it everywhere else: 0x2083.
records::SqlValue InHex(const records::SqlValue& value) {
    if (!value) {
        return value;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%04llX",
                  std::strtoll(value->c_str(), nullptr, 10) & 0xFFFF);
    return std::string(text);
}

std::string Csv(const records::SqlValue& value) {
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
    void Add(const records::SqlRow& row);
    void Finish();

  private:
    void Print();
    void PrintJson() const;
    void PrintCsv() const;
    void PrintTableRow();

    ListFormat format_;
    records::SqlRow run_;                  // the run's columns; empty before the first row
    std::vector<records::SqlRow> images_;  // its images' columns
    bool user_shown_ = false;              // a run without an operator shown with its system user
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

void RunPrinter::Add(const records::SqlRow& row) {
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
    records::JsonObject object;
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
    records::JsonArray list;
    for (const records::SqlRow& image : images_) {
        list.Object(records::JsonObject()
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
    for (const records::SqlRow& image : images_) {
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
std::string OperatorShown(const records::SqlRow& run) {
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

// One row of counts, as StationCountsSql and ImageCountsSql give them after the group's name.
struct Counts {
    long long runs = 0;
    long long successes = 0;
    long long interrupted = 0;
    long long identify = 0;
    long long refused = 0;
    long long failed_downloads = 0;
    long long ended_downloads = 0;

    // The failure rate of the downloads that ended by themselves: a run the operator stopped,
    // one refused before its port was opened and an identify neither passed nor failed a
    // download, and are counted apart.
    double FailureRate() const {
        return ended_downloads > 0
                   ? static_cast<double>(failed_downloads) / static_cast<double>(ended_downloads)
                   : 0.0;
    }
};

Counts CountsOf(const records::SqlRow& row, std::size_t first) {
    const auto at = [&](std::size_t offset) {
        return NumberOf(row.at(first + offset)).value_or(0);
    };
    return {at(0), at(1), at(2), at(3), at(4), at(5), at(6)};
}

// Prints one count row of `kind` ("station": host, port and the counts; "image": sha256 and
// the counts).
void PrintCount(const char* kind, const records::SqlRow& row, ListFormat format) {
    const bool station = std::string(kind) == "station";
    const records::SqlValue& name = row[0];
    const records::SqlValue port = station ? row[1] : std::nullopt;
    const Counts counts = CountsOf(row, station ? 2 : 1);
    const double rate = counts.FailureRate();
    if (format == ListFormat::kJson) {
        records::JsonObject object;
        object.String("kind", kind);
        if (station) {
            object.StringOrNull("host", name).StringOrNull("port", port);
        } else {
            object.StringOrNull("sha256", name);
        }
        object.Integer("runs", counts.runs)
            .Integer("successes", counts.successes)
            .Integer("interrupted", counts.interrupted)
            .Fixed3("failure_rate", rate)
            .Integer("identify", counts.identify)
            .Integer("refused", counts.refused);
        std::printf("%s\n", object.Text().c_str());
    } else if (format == ListFormat::kCsv) {
        std::printf("%s,%s,%s,%lld,%lld,%.3f,%lld,%lld,%lld\n", kind, Csv(name).c_str(),
                    Csv(port).c_str(), counts.runs, counts.successes, rate, counts.interrupted,
                    counts.identify, counts.refused);
    } else {
        const std::string shown =
            station ? name.value_or("?") + " " + port.value_or("?") : name.value_or("?");
        std::printf("%-44s %8lld %10lld %12.1f%% %11lld %9lld %8lld\n", shown.c_str(), counts.runs,
                    counts.successes, rate * 100.0, counts.interrupted, counts.identify,
                    counts.refused);
    }
}

}  // namespace

Result<void> PrintRuns(records::HistoryDatabase& database, const HistoryFilters& filters,
                       ListFormat format) {
    std::vector<records::SqlValue> values;
    const std::string sql = ListSql(filters, values);
    RunPrinter printer(format);
    printer.Header();
    if (Result<void> read =
            database.Each(sql, values, [&](const records::SqlRow& row) { printer.Add(row); });
        !read) {
        return read;
    }
    printer.Finish();
    return {};
}

Result<void> PrintCounts(records::HistoryDatabase& database, const HistoryFilters& filters,
                         ListFormat format) {
    if (format == ListFormat::kCsv) {
        // Columns are only ever added at the end, for the readers written against the first.
        std::printf(
            "kind,host_or_sha256,port,runs,successes,failure_rate,interrupted,identify,refused\n");
    }
    for (const char* kind : {"station", "image"}) {
        const bool station = std::string(kind) == "station";
        if (format == ListFormat::kTable) {
            std::printf("%s%-44s %8s %10s %13s %11s %9s %8s\n", station ? "" : "\n",
                        station ? "STATION (HOST PORT)" : "IMAGE SHA-256", "RUNS", "SUCCESSES",
                        "FAILURE RATE", "INTERRUPTED", "IDENTIFY", "REFUSED");
        }
        std::vector<records::SqlValue> values;
        const std::string sql =
            station ? StationCountsSql(filters, values) : ImageCountsSql(filters, values);
        auto print = [&](const records::SqlRow& row) { PrintCount(kind, row, format); };
        if (Result<void> read = database.Each(sql, values, print); !read) {
            return read;
        }
    }
    return {};
}

}  // namespace vantor::cli
