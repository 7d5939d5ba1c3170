// What the history's tests share: an image, the runs that record into a history, and reading
// the history back through vantor-cli history --json.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli_runner.h"
#include "image/image_writer.h"
#include "support/json_lines.h"

namespace vantor::test {

inline std::string OneImage(const TempDir& dir) {
    return dir.Write("image.orb", image_writer::ImageBuilder::Kdx(2).FillerPackets(1, 64).Build());
}

// The SHA-256 of `image` as a run's summary gives it.
inline std::string ImageSha256(const std::string& image) {
    const CliRun run = RunCli({"download", image, "--port", "sim", "--skip-seeking",
                               "--virtual-time", "--json", "--no-history"});
    for (const JsonObject& event : ParseJsonLines(run.out)) {
        if (StringField(event, "event") == "summary") {
            return event["images"][0]["sha256"].get<std::string>();
        }
    }
    return "";
}

// The arguments of a line of `stations` simulated drives, each a drive of its own.
inline std::vector<std::string> LineOf(const std::string& image, int stations,
                                       const std::vector<std::string>& options) {
    std::vector<std::string> arguments{"download", image};
    for (int station = 1; station <= stations; ++station) {
        arguments.insert(arguments.end(), {"--port", "sim:seed=" + std::to_string(station)});
    }
    arguments.insert(arguments.end(), {"--skip-seeking", "--virtual-time"});
    arguments.insert(arguments.end(), options.begin(), options.end());
    return arguments;
}

// The runs `history --json` lists, with the extra arguments given.
inline std::vector<JsonObject> Listed(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"history", "--json"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const CliRun run = RunCli(command);
    EXPECT_EQ(run.status, 0) << run.err;
    return ParseJsonLines(run.out);
}

// Each test keeps the station's own history in its folder.
inline void KeepStationHistoryIn(const TempDir& dir) {
    ::setenv("XDG_DATA_HOME", dir.Path("data").c_str(), 1);
    ::unsetenv("VANTOR_HISTORY");
}

}  // namespace vantor::test
