// vantor-cli history: the runs a history holds, as a table, JSON lines or CSV; their counts per
// station and per image; pruning; forwarding the station's queue to a site's database.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "cli/console/command_line.h"
#include "cli/history/history_listing.h"
#include "cli/history/history_recording.h"
#include "records/exit_status.h"
#include "records/history_store.h"
#include "records/json_writer.h"
#include "records/unit_fields.h"

namespace vantor::cli {

namespace {

constexpr const char* kCommand = "history";
// The history cannot be read or written.
constexpr int kExitHistoryUnusable = 1;
constexpr long kTableRows = 20;

constexpr const char* kHelpHead =
    "usage: vantor-cli history [list] [options]\n"
    "       vantor-cli history stats [--since DATE] [--until DATE] [options]\n"
    "       vantor-cli history prune --before DATE\n"
    "       vantor-cli history sync\n"
    "\n"
    "Shows the runs that download, identify, every station of a line and the window have\n"
    "recorded, newest first: on a terminal the latest 20 as a table. stats gives the runs,\n"
    "successes and failure rate per station and per image; prune deletes the records of runs\n"
    "started before DATE; sync forwards the records that wait for a site's database.\n"
    "\n"
    "options:\n";
constexpr const char* kHelpTail =
    "\n"
    "exit status: 0 done, 1 the history cannot be read or written, 64 usage error.\n";
constexpr std::size_t kHelpColumn = 22;

struct HistorySettings {
    std::string action = "list";
    std::string place;
    HistoryFilters filters;
    std::optional<std::string> before;
    std::optional<long> limit;
    bool json = false;
    bool csv = false;
    bool dry_run = false;
    bool help = false;
    bool version = false;
};

// DATE as the history writes its times (2026-12-07T10:12:55.000Z); `day_after` moves a DATE
// without a time to the start of the next day.
std::optional<std::string> ParseDate(const std::string& text, bool day_after) {
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int used = 0;
    const bool day_only = text.size() == 10;
    if (std::sscanf(text.c_str(), "%4d-%2u-%2u%n", &year, &month, &day, &used) != 3 || used != 10) {
        return std::nullopt;
    }
    if (!day_only) {
        const std::string time = text.substr(10);
        int rest = 0;
        if (std::sscanf(time.c_str(), "T%2u:%2u:%2u%n", &hour, &minute, &second, &rest) != 3 ||
            (time.substr(static_cast<std::size_t>(rest)) != "" &&
             time.substr(static_cast<std::size_t>(rest)) != "Z") ||
            hour > 23 || minute > 59 || second > 59) {
            return std::nullopt;
        }
    }
    std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(month),
                                     std::chrono::day(day)};
    if (!date.ok()) {
        return std::nullopt;
    }
    if (day_only && day_after) {
        date = std::chrono::year_month_day{std::chrono::sys_days(date) + std::chrono::days(1)};
    }
    char shown[40];
    std::snprintf(shown, sizeof shown, "%04d-%02u-%02uT%02u:%02u:%02u.000Z",
                  static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()), hour, minute, second);
    return std::string(shown);
}

Result<void> TakeDate(const char* name, const std::string& value,
                      std::optional<std::string>& setting, bool day_after) {
    setting = ParseDate(value, day_after);
    if (!setting) {
        return Failure{std::string(name) + " \"" + value +
                       "\": a date is YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS (UTC)"};
    }
    return {};
}

Result<void> TakeImageSha256(const std::string& value, HistorySettings& settings) {
    std::string lower;
    for (const char c : value) {
        lower += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    }
    if (lower.size() != 64 || lower.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return Failure{"--image-sha256 \"" + value + "\": 64 hexadecimal digits"};
    }
    settings.filters.image_sha256 = lower;
    return {};
}

// A serial, an order or an operator to look for: what a run would take.
Result<void> TakeUnitText(const char* option, const std::string& value,
                          std::optional<std::string>& setting) {
    Result<void> checked = records::UnitFieldProblem(option, value);
    if (checked) {
        setting = value;
    }
    return checked;
}

// One option of history: a switch turns `flag` on, an option with a value has `take` read it.
struct HistoryOption {
    platform::ProgramOption option;
    Result<void> (*take)(const std::string& value, HistorySettings& settings) = nullptr;
    bool HistorySettings::*flag = nullptr;
};

// Every option of history, the one table that its parser, its help, the completions and the
// manual page follow.
const HistoryOption kHistoryTable[] = {
    {{"--history", "PLACE",
      "a SQLite file or a postgresql:// URL (default: VANTOR_HISTORY, else\n"
      "$XDG_DATA_HOME/vantor/history.sqlite)"},
     [](const std::string& value, HistorySettings& settings) -> Result<void> {
         if (value.empty()) {
             return Failure{"--history needs a value"};
         }
         settings.place = value;
         return {};
     }},
    {{"--since", "DATE",
      "runs started at or after DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM:SS,\n"
      "UTC)"},
     [](const std::string& value, HistorySettings& settings) {
         return TakeDate("--since", value, settings.filters.since, false);
     }},
    {{"--until", "DATE", "runs started before DATE; a day alone counts whole"},
     [](const std::string& value, HistorySettings& settings) {
         return TakeDate("--until", value, settings.filters.until, true);
     }},
    {{"--port", "PORT", "runs on this port"},
     [](const std::string& value, HistorySettings& settings) -> Result<void> {
         settings.filters.port = value;
         return {};
     }},
    {{"--result", "R",
      "success, or failure (failed, interrupted or refused); failed,\n"
      "interrupted or refused alone, as the records write them"},
     [](const std::string& value, HistorySettings& settings) -> Result<void> {
         if (value != "success" && value != "failure" && value != "failed" &&
             value != "interrupted" && value != "refused") {
             return Failure{"--result \"" + value +
                            "\": success, failure, failed, interrupted or refused"};
         }
         settings.filters.result = value;
         return {};
     }},
    {{"--image-sha256", "HEX", "runs that sent the image with this SHA-256"}, TakeImageSha256},
    {{"--unit-serial", "TEXT", "runs for the unit with this serial number (as given to the run)"},
     [](const std::string& value, HistorySettings& settings) {
         return TakeUnitText(records::kUnitSerialOption, value, settings.filters.unit_serial);
     }},
    {{"--order", "TEXT", "runs for this work order"},
     [](const std::string& value, HistorySettings& settings) {
         return TakeUnitText(records::kOrderOption, value, settings.filters.order);
     }},
    {{"--operator", "NAME",
      "runs by this operator: given by --operator, or, for a run given\n"
      "none, the system user it ran as (shown as (NAME))"},
     [](const std::string& value, HistorySettings& settings) {
         return TakeUnitText(records::kOperatorOption, value, settings.filters.operator_name);
     }},
    {{"--limit", "N", "at most N runs"},
     [](const std::string& value, HistorySettings& settings) -> Result<void> {
         settings.limit = ParseWhole(value, 1, 1000000000);
         if (!settings.limit) {
             return Failure{"--limit \"" + value + "\": a number of runs, 1 or more"};
         }
         return {};
     }},
    {{"--before", "DATE", "prune: the records of runs started before DATE"},
     [](const std::string& value, HistorySettings& settings) {
         return TakeDate("--before", value, settings.before, false);
     }},
    {{"--dry-run", {}, "prune: say how many runs would go, and delete nothing"},
     nullptr,
     &HistorySettings::dry_run},
    {{"--json", {}, "one JSON object per line"}, nullptr, &HistorySettings::json},
    {{"--csv", {}, "comma-separated values with a header line"}, nullptr, &HistorySettings::csv},
    {{"--help"}, nullptr, &HistorySettings::help},
    {{"-h"}, nullptr, &HistorySettings::help},
    {{"--version"}, nullptr, &HistorySettings::version},
};

const HistoryOption* FindHistoryOption(const std::string& name) {
    for (const HistoryOption& option : kHistoryTable) {
        if (option.option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

Result<void> ParseHistory(const std::vector<std::string>& arguments, HistorySettings& settings) {
    ArgumentReader reader(arguments);
    bool action_given = false;
    while (!reader.Done()) {
        const Result<platform::Argument> read = platform::ReadArgument(reader, HistoryOptions());
        if (!read) {
            return Failure{read.reason()};
        }
        const platform::Argument& argument = *read;
        if (!argument.is_option) {
            if (action_given || (argument.text != "list" && argument.text != "stats" &&
                                 argument.text != "prune" && argument.text != "sync")) {
                return Failure{"unexpected argument \"" + argument.text +
                               "\" (list, stats, prune or sync)"};
            }
            settings.action = argument.text;
            action_given = true;
        } else if (argument.option == nullptr) {
            return Failure{UnknownOption(argument.text, HistoryOptions())};
        } else if (const HistoryOption* option = FindHistoryOption(argument.text);
                   option->take != nullptr) {
            if (Result<void> taken = option->take(argument.value.value_or(""), settings); !taken) {
                return taken;
            }
        } else {
            settings.*option->flag = true;
        }
    }
    if (settings.json && settings.csv) {
        return Failure{"--json and --csv exclude each other"};
    }
    if (settings.action == "prune" && !settings.before) {
        return Failure{"prune needs --before DATE"};
    }
    if (settings.action != "prune" && settings.before) {
        return Failure{"--before belongs to prune"};
    }
    if (settings.action != "prune" && settings.dry_run) {
        return Failure{"--dry-run belongs to prune"};
    }
    return {};
}

int Unusable(const std::string& place, const std::string& problem) {
    std::fprintf(stderr, "vantor-cli: history %s: %s\n", place.c_str(), problem.c_str());
    return kExitHistoryUnusable;
}

bool FileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// Opens the history to read (or, for prune, to change what it holds), or says why it cannot be
// used; nothing for a SQLite file that is not there, an empty history that is not made.
std::optional<records::OpenedHistory> OpenForCommand(const std::string& place, bool change) {
    if (!records::IsPostgresUrl(place) && !FileExists(place)) {
        return std::nullopt;
    }
    records::OpenedHistory database =
        records::IsPostgresUrl(place)
            ? records::ConnectPostgresHistory(place)
            : records::OpenSqliteHistory(
                  place, change ? records::OpenFor::kWrite : records::OpenFor::kRead);
    if (database) {
        if (Result<void> readable = records::CheckSchemaForReading(**database); !readable) {
            return Failure{readable.reason()};
        }
    }
    return database;
}

std::optional<long long> NumberOf(const records::SqlValue& value) {
    return value ? std::optional<long long>(std::strtoll(value->c_str(), nullptr, 10))
                 : std::nullopt;
}

int List(records::HistoryDatabase& database, const HistorySettings& settings) {
    const ListFormat format = settings.json  ? ListFormat::kJson
                              : settings.csv ? ListFormat::kCsv
                                             : ListFormat::kTable;
    HistoryFilters filters = settings.filters;
    filters.schema_version = ReadSchemaVersion(database);
    filters.limit = settings.limit.value_or(format == ListFormat::kTable ? kTableRows : 0);
    if (Result<void> printed = PrintRuns(database, filters, format); !printed) {
        return Unusable(database.Place(), printed.reason());
    }
    return records::kExitSuccess;
}

int Stats(records::HistoryDatabase& database, const HistorySettings& settings) {
    const ListFormat format = settings.json  ? ListFormat::kJson
                              : settings.csv ? ListFormat::kCsv
                                             : ListFormat::kTable;
    HistoryFilters filters = settings.filters;
    filters.schema_version = ReadSchemaVersion(database);
    if (Result<void> printed = PrintCounts(database, filters, format); !printed) {
        return Unusable(database.Place(), printed.reason());
    }
    return records::kExitSuccess;
}

int Prune(records::HistoryDatabase& database, const HistorySettings& settings) {
    const bool station = !records::IsPostgresUrl(database.Place());
    // Records that still wait for a site's database stay until they are forwarded.
    const std::string old = std::string("SELECT id FROM runs WHERE started < ?") +
                            (station ? " AND id NOT IN (SELECT run_id FROM pending)" : "");
    const records::SqlValue before = *settings.before;
    std::vector<records::SqlRow> counted;
    Result<void> pruned = database.Run(station ? "BEGIN IMMEDIATE" : "BEGIN");
    if (pruned) {
        pruned = database.Run("SELECT count(*) FROM (" + old + ") o", {before}, &counted);
    }
    if (pruned && !settings.dry_run) {
        pruned = database.Run("DELETE FROM run_images WHERE run_id IN (" + old + ")", {before});
    }
    if (pruned && !settings.dry_run) {
        pruned = database.Run("DELETE FROM runs WHERE id IN (" + old + ")", {before});
    }
    if (!pruned || settings.dry_run) {
        // A failure is what the operator hears of; a dry run changed nothing to keep.
        (void)database.Run("ROLLBACK");
    }
    if (!pruned) {
        return Unusable(database.Place(), pruned.reason());
    }
    if (Result<void> committed = settings.dry_run ? Result<void>() : database.Run("COMMIT");
        !committed) {
        return Unusable(database.Place(), committed.reason());
    }
    const long long count = counted.empty() ? 0 : NumberOf(counted[0][0]).value_or(0);
    std::printf("%s %lld run(s) started before %s from %s\n",
                settings.dry_run ? "would prune" : "pruned", count, before->c_str(),
                database.Place().c_str());
    return records::kExitSuccess;
}

int Sync(const HistorySettings& settings) {
    const std::string place = records::ChosenHistory(settings.place);
    if (!records::IsPostgresUrl(place)) {
        return UsageError(kCommand,
                          "sync forwards to a site's database: give --history postgresql://... "
                          "or set VANTOR_HISTORY");
    }
    const records::SyncOutcome outcome = records::ForwardQueue(place);
    std::printf("forwarded %d record(s) to %s; %d still waiting\n", outcome.forwarded,
                records::RedactedUrl(place).c_str(), outcome.waiting);
    if (!outcome.error.empty()) {
        std::fprintf(stderr, "vantor-cli: history sync: %s\n", outcome.error.c_str());
        return kExitHistoryUnusable;
    }
    return records::kExitSuccess;
}

}  // namespace

int RunHistory(const std::vector<std::string>& arguments) {
    HistorySettings settings;
    if (Result<void> parsed = ParseHistory(arguments, settings); !parsed) {
        return UsageError(kCommand, parsed.reason());
    }
    if (settings.help) {
        const std::string help =
            kHelpHead + platform::OptionsHelp(HistoryOptions(), kHelpColumn) + kHelpTail;
        std::fputs(help.c_str(), stdout);
        return records::kExitSuccess;
    }
    if (settings.version) {
        PrintVersion();
        return records::kExitSuccess;
    }
    if (settings.action == "sync") {
        return Sync(settings);
    }
    const std::string place = records::ChosenHistory(settings.place);
    const std::string shown = records::IsPostgresUrl(place) ? records::RedactedUrl(place) : place;
    const std::optional<records::OpenedHistory> opened =
        OpenForCommand(place, settings.action == "prune");
    if (!opened) {
        std::fprintf(stderr, "vantor-cli: history %s: no run recorded yet\n", shown.c_str());
        return records::kExitSuccess;
    }
    if (!*opened) {
        return Unusable(shown, opened->reason() + "; left as it is");
    }
    records::HistoryDatabase& database = ***opened;
    if (settings.action == "stats") {
        return Stats(database, settings);
    }
    if (settings.action == "prune") {
        return Prune(database, settings);
    }
    return List(database, settings);
}

platform::OptionTable HistoryOptions() {
    static const std::vector<platform::ProgramOption> options = [] {
        std::vector<platform::ProgramOption> names;
        for (const HistoryOption& option : kHistoryTable) {
            names.push_back(option.option);
        }
        return names;
    }();
    return options;
}

}  // namespace vantor::cli
