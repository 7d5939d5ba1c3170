// A history as the release at bd042ba wrote it (schema version 1): its tables and indexes made
// by that release's own statements, and three runs in the rows it wrote (a download, a download
// refused for another hardware revision, an identify), to be opened by this program.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "records/history_database.h"
#include "support/json_lines.h"

namespace vantor::test {

struct OldRun {
    const char* id;
    const char* started;
    const char* command;
    const char* port;
    const char* result;
    long long exit_status;
    const char* sha256;  // of its one image; nullptr for a run without one
    long long packets_sent;
};

inline const std::vector<OldRun>& OldRuns() {
    static const std::vector<OldRun> runs{
        {"6f1c1f0e-8a53-4c8e-9d0e-6a4d8f2b7c01", "2026-12-07T08:00:00.125Z", "download", "COM3",
         "success", 0, "1111111111111111111111111111111111111111111111111111111111111111", 8},
        {"6f1c1f0e-8a53-4c8e-9d0e-6a4d8f2b7c02", "2026-12-07T08:05:00.250Z", "download", "COM4",
         "failed", 106, "2222222222222222222222222222222222222222222222222222222222222222", 0},
        {"6f1c1f0e-8a53-4c8e-9d0e-6a4d8f2b7c03", "2026-12-07T08:10:00.500Z", "identify",
         "sim:ident=0x3083", "success", 0, nullptr, 0},
    };
    return runs;
}

// Makes `database` (empty) a history of schema version 1 holding OldRuns(), as that release
// made it: the station's own file also has its queue of records for a site.
inline void MakeOldHistory(records::HistoryDatabase& database, bool station) {
    std::vector<std::string> statements{
        "CREATE TABLE IF NOT EXISTS history_schema (version BIGINT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS runs ("
        " id TEXT PRIMARY KEY, started TEXT NOT NULL, ended TEXT NOT NULL, host TEXT,"
        " user_name TEXT, tool TEXT, tool_version TEXT, command TEXT NOT NULL, port TEXT,"
        " device TEXT, usb_serial TEXT, baud BIGINT, result TEXT NOT NULL,"
        " exit_status BIGINT NOT NULL, ident_word BIGINT, hardware_revision BIGINT,"
        " drive_version TEXT, address BIGINT, packets_sent BIGINT,"
        " protected_memory_warnings BIGINT, missing_responses BIGINT,"
        " unrecognised_responses BIGINT, invalid_command_responses BIGINT,"
        " resynchronisations BIGINT, origin TEXT NOT NULL, record TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS run_images ("
        " run_id TEXT NOT NULL REFERENCES runs (id) ON DELETE CASCADE, position BIGINT NOT NULL,"
        " path TEXT, size_bytes BIGINT, sha256 TEXT, declared_packets BIGINT,"
        " packets_sent BIGINT, sent_sha256 TEXT, PRIMARY KEY (run_id, position))",
        "CREATE INDEX IF NOT EXISTS runs_started ON runs (started)",
        "CREATE INDEX IF NOT EXISTS run_images_sha256 ON run_images (sha256)",
    };
    if (station) {
        statements.push_back(
            "CREATE TABLE IF NOT EXISTS pending (sequence INTEGER PRIMARY KEY AUTOINCREMENT,"
            " run_id TEXT NOT NULL UNIQUE REFERENCES runs (id) ON DELETE CASCADE,"
            " destination TEXT NOT NULL)");
    }
    statements.push_back("INSERT INTO history_schema (version) VALUES (1)");
    for (const std::string& statement : statements) {
        const Result<void> made = database.Run(statement);
        ASSERT_TRUE(made) << statement << ": " << made.reason();
    }
    for (const OldRun& run : OldRuns()) {
        const std::string record = std::string("{\"event\":\"summary\",\"result\":\"") +
                                   run.result + "\",\"status\":" + std::to_string(run.exit_status) +
                                   "}";
        const Result<void> inserted = database.Run(
            "INSERT INTO runs (id, started, ended, host, user_name, tool, tool_version,"
            " command, port, device, baud, result, exit_status, ident_word,"
            " hardware_revision, drive_version, packets_sent, protected_memory_warnings,"
            " missing_responses, unrecognised_responses, invalid_command_responses,"
            " resynchronisations, origin, record) VALUES (?, ?, ?, 'bench-4', 'root',"
            " 'vantor-cli', '2.0.6', ?, ?, ?, '9600', ?, ?, '8323', '2', '2.3', ?, '0',"
            " '0', '0', '0', '1', 'direct', ?)",
            {run.id, run.started, run.started, run.command, run.port, run.port, run.result,
             std::to_string(run.exit_status), std::to_string(run.packets_sent), record});
        ASSERT_TRUE(inserted) << inserted.reason();
        if (run.sha256 != nullptr) {
            const Result<void> image = database.Run(
                "INSERT INTO run_images (run_id, position, path, size_bytes,"
                " sha256, declared_packets, packets_sent, sent_sha256)"
                " VALUES (?, '1', '/srv/fw.orb', '4096', ?, '8', ?, ?)",
                {run.id, run.sha256, std::to_string(run.packets_sent),
                 records::SqlValue(run.sha256)});
            ASSERT_TRUE(image) << image.reason();
        }
    }
}

// Each old run is listed (history --json) whole: its fields as that release wrote them, and
// no unit, operator or order, which it did not know.
inline void ExpectOldRunsListed(const std::vector<JsonObject>& listed) {
    for (const OldRun& run : OldRuns()) {
        const JsonObject* found = nullptr;
        for (const JsonObject& each : listed) {
            found = StringField(each, "id") == run.id ? &each : found;
        }
        ASSERT_NE(found, nullptr) << run.id;
        EXPECT_EQ(StringField(*found, "started"), run.started);
        EXPECT_EQ(StringField(*found, "command"), run.command);
        EXPECT_EQ(StringField(*found, "port"), run.port);
        EXPECT_EQ(StringField(*found, "result"), run.result);
        EXPECT_EQ(StringField(*found, "user_name"), "root");
        EXPECT_EQ(found->value("exit_status", -1), run.exit_status);
        EXPECT_EQ(found->value("packets_sent", -1), run.packets_sent);
        EXPECT_TRUE(found->at("unit_serial").is_null());
        EXPECT_TRUE(found->at("operator").is_null());
        EXPECT_TRUE(found->at("order").is_null());
        ASSERT_EQ(found->at("images").size(), run.sha256 != nullptr ? 1u : 0u);
        if (run.sha256 != nullptr) {
            EXPECT_EQ(found->at("images")[0]["sha256"], run.sha256);
        }
    }
}

}  // namespace vantor::test
