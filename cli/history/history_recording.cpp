#include "cli/history/history_recording.h"

#include <cstdio>

#include "records/exit_status.h"
#include "records/history_store.h"
#include "records/log_file.h"

namespace vantor::cli {

void RecordInHistory(const std::string& place, bool no_history, const records::RunSummary& summary,
                     ConsoleOutput& output) {
    if (no_history) {
        return;
    }
    const records::HistoryEntry entry = EntryFromSummary(summary);
    const records::RecordOutcome outcome = RecordEntry(entry, records::ChosenHistory(place));
    records::JsonObject fields;
    fields.String("id", entry.id)
        .Bool("written", outcome.written)
        .Bool("queued", outcome.queued)
        .String("place", outcome.place)
        .Integer("forwarded", outcome.forwarded)
        .StringOrNull("error", outcome.error.empty() ? std::nullopt : std::optional(outcome.error));
    output.Event("history", fields);
    if (outcome.queued) {
        std::fprintf(stderr,
                     "vantor-cli: the history %s cannot be reached (%s): the record waits in %s "
                     "and goes there with the next run or 'vantor-cli history sync'\n",
                     outcome.place.c_str(), outcome.error.c_str(),
                     records::DefaultHistoryPath().c_str());
    } else if (!outcome.written) {
        std::fprintf(stderr, "vantor-cli: the run was not recorded in the history %s: %s\n",
                     outcome.place.c_str(), outcome.error.c_str());
    }
}

}  // namespace vantor::cli
